// Thread contexts, the database lock shared by all processes, and the
// delayed commit.
//
// Lock states of a context: none -> shared -> exclusive (upgrade) -> none, and
// none -> exclusive -> shared (while committing) -> none. The counters live in
// the shared monitor and change only inside the global critical section; a
// blocked request sleeps on a shared semaphore, which is signalled only by the
// thread that granted the lock on the sleeper's behalf, so a woken sleeper
// finds the counters already set for it. Readers yield to waiting writers.
#include "engine/database.h"
#include "engine/query/compiler.h"

dbDatabaseThreadContext::~dbDatabaseThreadContext() { delete compiler; }

dbQueryCompiler& dbDatabaseThreadContext::getCompiler() {
  if (compiler == nullptr) compiler = new dbQueryCompiler();
  return *compiler;
}

void dbDatabase::attach() {
  if (threadContext.get() != nullptr) return;
  auto* ctx = new dbDatabaseThreadContext();
  {
    dbCriticalSection cs(threadContextsMutex);
    threadContexts.link(ctx);
  }
  threadContext.set(ctx);
}

void dbDatabase::detach(int flags) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr) return;
  if (flags & commitOnDetach) {
    commit();
  } else {
    enterGlobal();
    monitor->uncommittedChanges = 1;
    leaveGlobal();
    precommit();
  }
  if (flags & destroyContextOnDetach) {
    bool deleteNow = true;
    if (commitDelay != 0) {
      dbCriticalSection cs(delayedCommitStopTimerMutex);
      if (ctx->commitDelayed) {
        ctx->removeContext = true;  // the delayed-commit thread deletes it
        deleteNow = false;
      }
    }
    if (deleteNow) {
      dbCriticalSection cs(threadContextsMutex);
      delete ctx;
    }
  }
  threadContext.set(nullptr);
}

// Waits on a lock semaphore until granted. `granted` tells, inside the global
// section, whether the grant happened; `recover` is called inside the section
// after a time-out, at most once per waitLockTimeout for the whole database,
// and returns true when it took the lock over.
template <class Granted, class Recover>
static void waitForGrant(dbDatabase* db, dbSharedSemaphore& semaphore, nat4 timeout, dbSharedMonitor* monitor,
                         Granted granted, Recover recover, void (dbDatabase::*enter)(), void (dbDatabase::*leave)()) {
  while (true) {
    bool acquired = semaphore.wait(timeout);
    (db->*enter)();
    if (acquired && granted()) {
      (db->*leave)();
      return;
    }
    if (!acquired) {
      nat4 now = dbGetTickCount();
      if (now - monitor->lastDeadlockRecovery >= timeout) {
        monitor->lastDeadlockRecovery = now;
        if (recover()) {
          (db->*leave)();
          return;
        }
      }
    }
    (db->*leave)();
  }
}

bool dbDatabase::beginTransaction(dbLockType mode) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbCheck(ctx != nullptr);
  if (commitDelay != 0 && mode != dbUpdateLockInOperation) {
    dbCriticalSection cs(delayedCommitStopTimerMutex);
    monitor->beginningTransactions += 1;
    if (monitor->delayedTransaction == ctx && ctx->commitDelayed) {
      // Take the pending commit back: the transaction continues.
      monitor->delayedTransaction = nullptr;
      ctx->commitDelayed = false;
      nat4 elapsed = (dbGetTickCount() - commitTimerStarted) / 1000;
      commitTimeout = elapsed < commitTimeout ? commitTimeout - elapsed : 0;
      sync->delayedCommitStopTimerEvent.signal();
    }
  }
  auto wakeDelayedCommit = [this] {
    if (commitDelay != 0) sync->delayedCommitStopTimerEvent.signal();
  };

  if (accessMode == accessConcurrentUpdate && mode != dbUpdateLockInOperation) {
    if (!ctx->mutatorLocked) {
      sync->mutatorSection.lock();
      ctx->mutatorLocked = true;
    }
  } else if (mode != dbSharedLock) {
    if (!ctx->writeAccess) {
      dbCheck(accessMode == accessReadWrite || accessMode == accessConcurrentUpdate);
      enterGlobal();
      if (ctx->readAccess) {
        dbCheck(monitor->writers == 0);
        if (monitor->readers == 1) {
          monitor->writers = 1;
          monitor->readers = 0;
          leaveGlobal();
        } else if (monitor->upgradeWaiting) {
          leaveGlobal();
          handleError(Deadlock);
        } else {
          monitor->upgradeWaiting = 1;
          monitor->waitingWriters += 1;
          leaveGlobal();
          wakeDelayedCommit();
          waitForGrant(
              this, sync->upgradeSemaphore, waitLockTimeout, monitor,
              [this] { return monitor->writers == 1 && monitor->readers == 0; },
              [this] {
                monitor->readers -= 1;  // one silent reader given up for dead
                if (monitor->readers != 1) return false;
                monitor->writers = 1;
                monitor->readers = 0;
                monitor->waitingWriters -= 1;
                monitor->upgradeWaiting = 0;
                return true;
              },
              &dbDatabase::enterGlobal, &dbDatabase::leaveGlobal);
        }
      } else if (monitor->writers == 0 && monitor->readers == 0) {
        monitor->writers = 1;
        leaveGlobal();
      } else {
        monitor->waitingWriters += 1;
        leaveGlobal();
        wakeDelayedCommit();
        waitForGrant(
            this, sync->writersSemaphore, waitLockTimeout, monitor,
            [this] { return monitor->writers == 1 && monitor->readers == 0; },
            [this] {
              if (monitor->writers != 0) {
                // The writer is given up for dead: its changes are discarded.
                updateMapping();
                recovery();
              } else {
                monitor->readers -= 1;
                if (monitor->readers != 0) return false;
              }
              monitor->writers = 1;
              monitor->waitingWriters -= 1;
              return true;
            },
            &dbDatabase::enterGlobal, &dbDatabase::leaveGlobal);
      }
      monitor->writerThreadId = ctx->threadId;
      ctx->writeAccess = true;
    } else if (monitor->writerThreadId != ctx->threadId) {
      handleError(LockRevoked);
    }
  } else if (!ctx->readAccess && !ctx->writeAccess) {
    enterGlobal();
    if (monitor->writers != 0 || monitor->waitingWriters != 0) {
      monitor->waitingReaders += 1;
      leaveGlobal();
      wakeDelayedCommit();
      waitForGrant(
          this, sync->readersSemaphore, waitLockTimeout, monitor,
          [this] { return monitor->writers == 0 && monitor->readers >= 1; },
          [this] {
            if (monitor->writers != 0) {
              updateMapping();
              recovery();
              monitor->writers = 0;
            } else {
              monitor->waitingWriters -= 1;
            }
            monitor->readers += 1;
            monitor->waitingReaders -= 1;
            return true;
          },
          &dbDatabase::enterGlobal, &dbDatabase::leaveGlobal);
    } else {
      monitor->readers += 1;
      leaveGlobal();
    }
    ctx->readAccess = true;
  }

  if (mode == dbUpdateLockInOperation) return true;
  if (commitDelay != 0) {
    dbCriticalSection cs(delayedCommitStopTimerMutex);
    monitor->beginningTransactions -= 1;
  }
  if (!updateMapping()) {
    endTransaction(ctx);
    return false;
  }
  refreshTransactionIndex();
  return true;
}

void dbDatabase::endTransaction(dbDatabaseThreadContext* ctx) {
  while (!ctx->cursors.isEmpty()) static_cast<dbCursorLink*>(ctx->cursors.next)->transactionEnded();
  enterGlobal();
  if (ctx->writeAccess) {
    monitor->writers -= 1;
    monitor->writerThreadId = 0;
    dbCheck(monitor->writers == 0 && !monitor->upgradeWaiting);
    if (monitor->waitingWriters != 0) {
      monitor->waitingWriters -= 1;
      monitor->writers = 1;
      sync->writersSemaphore.signal();
    } else if (monitor->waitingReaders != 0) {
      monitor->readers += monitor->waitingReaders;
      sync->readersSemaphore.signal(monitor->waitingReaders);
      monitor->waitingReaders = 0;
    }
  } else if (ctx->readAccess) {
    monitor->readers -= 1;
    if (monitor->readers == 1 && monitor->upgradeWaiting) {
      monitor->upgradeWaiting = 0;
      monitor->waitingWriters -= 1;
      monitor->writers = 1;
      monitor->readers = 0;
      sync->upgradeSemaphore.signal();
    } else if (monitor->readers == 0 && monitor->waitingWriters != 0) {
      monitor->waitingWriters -= 1;
      monitor->writers = 1;
      sync->writersSemaphore.signal();
    }
  }
  leaveGlobal();
  ctx->readAccess = false;
  ctx->writeAccess = false;
  if (ctx->mutatorLocked) {
    ctx->mutatorLocked = false;
    sync->mutatorSection.unlock();
  }
}

// Visits the calling thread's cursors; f may unlink the one it is given.
template <class F>
static void forEachCursor(dbDatabaseThreadContext* ctx, F f) {
  if (ctx == nullptr) return;
  for (dbL2List* link = ctx->cursors.next; link != &ctx->cursors;) {
    dbL2List* next = link->next;
    f(static_cast<dbCursorLink*>(link));
    link = next;
  }
}

void dbDatabase::notifyCursors(oid_t oid, bool removed) {
  forEachCursor(threadContext.get(), [&](dbCursorLink* c) { c->rowChanged(oid, removed); });
}

void dbDatabase::relocateCursors(byte* oldBase, size_t oldSize, std::ptrdiff_t delta) {
  forEachCursor(threadContext.get(), [&](dbCursorLink* c) { c->relocate(oldBase, oldSize, delta); });
}

// ---- Delayed commit

void dbDatabase::startDelayedCommitThread(nat4 delay) {
  dbCriticalSection cs(delayedCommitStartTimerMutex);
  commitDelay = commitTimeout = delay;
  stopDelayedCommitThreadFlag = false;
  commitThreadSyncEvent.reset();
  commitThread.start(delayedCommitProc, this);
  commitThreadSyncEvent.wait(delayedCommitStartTimerMutex);
}

void dbDatabase::stopDelayedCommitThread() {
  sync->delayedCommitStopTimerEvent.signal();
  {
    dbCriticalSection cs(delayedCommitStartTimerMutex);
    stopDelayedCommitThreadFlag = true;
    delayedCommitStartTimerEvent.signal();
  }
  commitThread.join();
  commitDelay = 0;
}

void dbDatabase::delayedCommitProc(void* arg) { static_cast<dbDatabase*>(arg)->delayedCommit(); }

void dbDatabase::delayedCommit() {
  delayedCommitStartTimerMutex.lock();
  commitThreadSyncEvent.signal();
  while (true) {
    // A stop request may come while a commit is still pending: do it first.
    if (stopDelayedCommitThreadFlag && monitor->delayedTransaction == nullptr) break;
    if (!stopDelayedCommitThreadFlag) {
      delayedCommitStartTimerEvent.wait(delayedCommitStartTimerMutex);
      delayedCommitStartTimerEvent.reset();
    }
    bool timing = false;
    {
      dbCriticalSection cs(delayedCommitStopTimerMutex);
      if (!stopDelayedCommitThreadFlag && monitor->beginningTransactions == 0) {
        commitTimerStarted = dbGetTickCount();
        timing = true;
      }
    }
    if (timing) {
      sync->delayedCommitStopTimerEvent.wait(commitTimeout * 1000);
      sync->delayedCommitStopTimerEvent.reset();
    }
    dbCriticalSection cs(delayedCommitStopTimerMutex);
    if (dbDatabaseThreadContext* ctx = monitor->delayedTransaction) {
      commitTimeout = commitDelay;
      monitor->delayedTransaction = nullptr;
      threadContext.set(ctx);
      commitNow(ctx);
      ctx->commitDelayed = false;
      threadContext.set(nullptr);
      if (ctx->removeContext) {
        dbCriticalSection listLock(threadContextsMutex);
        delete ctx;
      }
    }
  }
  delayedCommitStartTimerMutex.unlock();
}
