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

// Resets every cursor of ctx (each unlinks itself).
static void endCursors(dbDatabaseThreadContext* ctx) {
  while (!ctx->cursors.isEmpty()) static_cast<dbCursorLink*>(ctx->cursors.next)->transactionEnded();
}

// Waits on a lock semaphore until granted. `granted` tells, inside the global
// section, whether the grant happened; `recover` is called inside the section
// after a time-out, at most once per waitLockTimeout for the whole database,
// and returns true when it took the lock over.
template <class Granted, class Recover>
void dbDatabase::waitForGrant(dbSharedSemaphore& semaphore, Granted granted, Recover recover) {
  while (true) {
    bool acquired = semaphore.wait(waitLockTimeout);
    enterGlobal();
    // Grants are made inside the section: one made between the time-out and
    // here is found now, and must not be mistaken for a dead holder.
    if (!acquired) acquired = semaphore.wait(0);
    if (acquired && granted()) {
      leaveGlobal();
      return;
    }
    nat4 now = dbGetTickCount();
    if (!acquired && now - monitor->lastDeadlockRecovery >= waitLockTimeout) {
      monitor->lastDeadlockRecovery = now;
      bool tookOver;
      try {
        tookOver = recover();
      } catch (...) {  // a failed remap: the section must not stay held
        leaveGlobal();
        throw;
      }
      if (tookOver) {
        leaveGlobal();
        return;
      }
    }
    leaveGlobal();
  }
}

bool dbDatabase::discardDeadWriter() {
  // Only a process that may write the file can discard the changes; any
  // other keeps waiting for the writer or for a waiter that can.
  if (accessMode != accessReadWrite && accessMode != accessConcurrentUpdate) return false;
  if (!updateMapping()) return false;
  recovery();
  return true;
}

bool dbDatabase::lockRevoked(dbDatabaseThreadContext* ctx) {
  enterGlobal();
  bool revoked = ctx->writeAccess && monitor->writerThreadId != ctx->threadId;
  leaveGlobal();
  if (!revoked) return false;
  // The counters belong to the new holder now, and its recovery discarded
  // this transaction's changes: forget both without touching the monitor.
  endCursors(ctx);
  ctx->readAccess = ctx->writeAccess = false;
  modified = false;
  currRBitmapPage = currPBitmapPage = dbBitmapId;
  currRBitmapOffs = currPBitmapOffs = 0;
  handleError(LockRevoked);
  return true;
}

void dbDatabase::enterMutatorSection() {
  if (!sync->mutatorSection.lock()) return;
  // The previous writer died inside its transaction (or its commit): what it
  // left in the working index must not become part of ours.
  enterGlobal();
  try {
    if (updateMapping()) {
      recovery();
      monitor->currentRoot = header->currentRoot;
      monitor->commitInProgress = 0;
    }
  } catch (...) {  // a failed remap: neither section may stay held
    leaveGlobal();
    sync->mutatorSection.unlock();
    throw;
  }
  leaveGlobal();
}

bool dbDatabase::beginTransaction(dbLockType mode) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbCheck(ctx != nullptr);
  bool delayed = commitDelay != 0 && mode != dbUpdateLockInOperation;
  if (delayed) {
    dbCriticalSection cs(delayedCommitStopTimerMutex);
    // Every process counts here, each under its own mutex: hence atomic.
    __atomic_add_fetch(&monitor->beginningTransactions, 1, __ATOMIC_SEQ_CST);
    if (delayedTransaction == ctx && ctx->commitDelayed) {
      // Take the pending commit back: the transaction continues.
      delayedTransaction = nullptr;
      ctx->commitDelayed = false;
      nat4 elapsed = (dbGetTickCount() - commitTimerStarted) / 1000;
      commitTimeout = elapsed < commitTimeout ? commitTimeout - elapsed : 0;
      sync->delayedCommitStopTimerEvent.signal();
    }
  }
  // The thread counts in beginningTransactions until its lock is granted,
  // however the request ends.
  struct Beginning {
    dbDatabase* db;  // null when not counted
    void leave() {
      if (db == nullptr) return;
      dbCriticalSection cs(db->delayedCommitStopTimerMutex);
      __atomic_sub_fetch(&db->monitor->beginningTransactions, 1, __ATOMIC_SEQ_CST);
      db = nullptr;
    }
    ~Beginning() { leave(); }
  } beginning{delayed ? this : nullptr};
  auto wakeDelayedCommit = [this] {
    if (commitDelay != 0) sync->delayedCommitStopTimerEvent.signal();
  };

  if (accessMode == accessConcurrentUpdate && mode != dbUpdateLockInOperation) {
    if (!ctx->mutatorLocked) {
      enterMutatorSection();
      ctx->mutatorLocked = true;
    }
  } else if (mode != dbSharedLock) {
    if (!ctx->writeAccess) {
      dbCheck(accessMode == accessReadWrite || accessMode == accessConcurrentUpdate);
      enterGlobal();
      if (ctx->readAccess) {
        if (monitor->writers != 0) {  // a reader and a writer at once: the counters are broken
          leaveGlobal();
          dbThrowInternalError();
        }
        if (monitor->readers == 1) {
          monitor->writers = 1;
          monitor->readers = 0;
          leaveGlobal();
        } else if (monitor->upgradeWaiting) {
          leaveGlobal();
          handleError(Deadlock);
          return false;
        } else {
          monitor->upgradeWaiting = 1;
          monitor->waitingWriters += 1;
          leaveGlobal();
          wakeDelayedCommit();
          waitForGrant(
              sync->upgradeSemaphore, [this] { return monitor->writers == 1 && monitor->readers == 0; },
              [this] {
                monitor->readers -= 1;  // one silent reader given up for dead
                if (monitor->readers != 1) return false;
                monitor->writers = 1;
                monitor->readers = 0;
                monitor->waitingWriters -= 1;
                monitor->upgradeWaiting = 0;
                return true;
              });
        }
      } else if (monitor->writers == 0 && monitor->readers == 0) {
        monitor->writers = 1;
        leaveGlobal();
      } else {
        monitor->waitingWriters += 1;
        leaveGlobal();
        wakeDelayedCommit();
        waitForGrant(
            sync->writersSemaphore, [this] { return monitor->writers == 1 && monitor->readers == 0; },
            [this] {
              if (monitor->writers != 0) {
                if (!discardDeadWriter()) return false;
              } else {
                monitor->readers -= 1;
                if (monitor->readers != 0) return false;
              }
              monitor->writers = 1;
              monitor->waitingWriters -= 1;
              return true;
            });
      }
      enterGlobal();
      monitor->writerThreadId = ctx->threadId;
      leaveGlobal();
      ctx->writeAccess = true;
    } else if (lockRevoked(ctx)) {
      return false;
    }
  } else if (!ctx->readAccess && !ctx->writeAccess) {
    enterGlobal();
    if (monitor->writers != 0 || monitor->waitingWriters != 0) {
      monitor->waitingReaders += 1;
      leaveGlobal();
      wakeDelayedCommit();
      waitForGrant(
          sync->readersSemaphore, [this] { return monitor->writers == 0 && monitor->readers >= 1; },
          [this] {
            if (monitor->writers != 0) {
              if (!discardDeadWriter()) return false;
              monitor->writers = 0;
            } else {
              monitor->waitingWriters -= 1;
            }
            monitor->readers += 1;
            monitor->waitingReaders -= 1;
            return true;
          });
    } else {
      monitor->readers += 1;
      leaveGlobal();
    }
    ctx->readAccess = true;
  }

  if (mode == dbUpdateLockInOperation) return true;
  beginning.leave();
  if (!updateMapping()) {
    endTransaction(ctx);
    return false;
  }
  refreshTransactionIndex();
  return true;
}

void dbDatabase::endTransaction(dbDatabaseThreadContext* ctx) {
  endCursors(ctx);
  bool consistent = true;
  enterGlobal();
  if (ctx->writeAccess) {
    monitor->writers -= 1;
    monitor->writerThreadId = 0;
    consistent = monitor->writers == 0 && !monitor->upgradeWaiting;
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
  dbCheck(consistent);
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

bool dbDatabase::commitIsDelayed(dbDatabaseThreadContext* ctx) {
  if (commitDelay == 0) return false;
  dbCriticalSection cs(delayedCommitStopTimerMutex);
  return ctx->commitDelayed;
}

void dbDatabase::delayCommit(dbDatabaseThreadContext* ctx) {
  dbCriticalSection start(delayedCommitStartTimerMutex);
  {
    dbCriticalSection stop(delayedCommitStopTimerMutex);
    delayedTransaction = ctx;
    ctx->commitDelayed = true;
  }
  // A stop signal left over from an earlier commit (a lock request that woke
  // the timer twice) must not cut this commit's delay short.
  sync->delayedCommitStopTimerEvent.reset();
  delayedCommitStartTimerEvent.signal();
}

void dbDatabase::delayedCommit() {
  delayedCommitStartTimerMutex.lock();
  commitThreadSyncEvent.signal();
  while (true) {
    bool pending;
    {
      dbCriticalSection cs(delayedCommitStopTimerMutex);
      pending = delayedTransaction != nullptr;
    }
    // A stop request may come while a commit is still pending: do it first.
    if (stopDelayedCommitThreadFlag && !pending) break;
    if (!stopDelayedCommitThreadFlag) {
      delayedCommitStartTimerEvent.wait(delayedCommitStartTimerMutex);
      delayedCommitStartTimerEvent.reset();
    }
    nat4 timeout = 0;
    bool timing = false;
    {
      dbCriticalSection cs(delayedCommitStopTimerMutex);
      if (!stopDelayedCommitThreadFlag && __atomic_load_n(&monitor->beginningTransactions, __ATOMIC_SEQ_CST) == 0) {
        commitTimerStarted = dbGetTickCount();
        timeout = commitTimeout;
        timing = true;
      }
    }
    if (timing) {
      sync->delayedCommitStopTimerEvent.wait(timeout * 1000);
      sync->delayedCommitStopTimerEvent.reset();
    }
    dbCriticalSection cs(delayedCommitStopTimerMutex);
    if (dbDatabaseThreadContext* ctx = delayedTransaction) {
      commitTimeout = commitDelay;
      delayedTransaction = nullptr;
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
