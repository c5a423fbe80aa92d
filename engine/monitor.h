// The state that every process having one database open shares, in the named
// shared memory block "<name>.dm": the lock counters, the commit state and the
// dirty bitmap of the object index, followed by the process-shared primitives
// that stand for the named semaphores and events of the database.
#pragma once

#include "engine/file_header.h"
#include "engine/sync.h"

class dbDatabaseThreadContext;

// Every field is read and written only inside the global critical section,
// except `users` (read without it by getUserCount) and the dirty bits, which
// only the holder of the write lock sets.
struct dbSharedMonitor {
  int4 globalLockCount;   // kept for the layout; the section itself is globalSection below
  int4 mutatorLockCount;  // likewise for the concurrent writers' section
  int4 readers;           // granted shared locks
  int4 writers;           // granted exclusive locks (0 or 1)
  int4 waitingReaders;    // readers blocked on readersSemaphore
  int4 waitingWriters;    // writers blocked on writersSemaphore (an upgrader counts too)
  int4 upgradeWaiting;    // a reader waits on upgradeSemaphore to become writer
  int4 beginningTransactions;  // threads inside a lock request while delayed commit is on
  int4 backupInProgress;  // always 0 in this system
  int4 uncommittedChanges;     // a thread detached without committing
  int4 currentRoot;       // copy of the header's currentRoot for readers
  int4 commitInProgress;  // a commit is writing the index
  int4 transactionId;     // incremented by every commit and rollback
  nat4 lastDeadlockRecovery;   // tick count of the last lock revocation
  nat4 mappingVersion;    // version of the current file mapping, from 1
  int4 users;             // open handles on this database, all processes together
  nat4 writerThreadId;    // thread holding the exclusive lock
  dbDatabaseThreadContext* delayedTransaction;  // kept for the layout; the delayed context is per process
  nat4 dirtyIndexPages[dbDirtyIndexBitmapBytes / 4];  // bit per 1024 identifiers

  bool isDirty(oid_t oid) const { return (dirtyIndexPages[oid >> 15] >> ((oid >> 10) & 31)) & 1; }
  void setDirty(oid_t oid) { dirtyIndexPages[oid >> 15] |= 1u << ((oid >> 10) & 31); }
  void clearDirty(oid_t oid) { dirtyIndexPages[oid >> 15] &= ~(1u << ((oid >> 10) & 31)); }
};

// The named kernel objects of a database, as process-shared primitives.
struct dbSharedSync {
  dbSharedMutex globalSection;   // "%s.cs": guards every monitor field
  dbSharedMutex mutatorSection;  // "%s.mcs": serialises writers in concurrent-update mode
  dbSharedSemaphore writersSemaphore;  // "%s.ws"
  dbSharedSemaphore readersSemaphore;  // "%s.rs"
  dbSharedSemaphore upgradeSemaphore;  // "%s.us"
  dbSharedEvent backupCompletedEvent;  // "%s.bce"
  dbSharedEvent delayedCommitStopTimerEvent;  // "%s.dce"

  // Only the process that initialises the shared state calls this.
  void initialize() {
    globalSection.initialize();
    mutatorSection.initialize();
    writersSemaphore.initialize();
    readersSemaphore.initialize();
    upgradeSemaphore.initialize();
    backupCompletedEvent.initialize();
    delayedCommitStopTimerEvent.initialize();
  }
};

// The whole shared block.
struct dbSharedBlock {
  dbSharedMonitor monitor;
  dbSharedSync sync;
};
