// dbDatabase: the handle of one database, a single file mapped into memory as
// a whole and shared with every other process that opens the same name.
//
// Units implementing it:
//   database.cpp     open, close, error reporting, new-file geometry
//   transaction.cpp  object index access, commit, rollback, crash recovery
//   allocator.cpp    bitmap space allocation and file growth
//   lock.cpp         thread contexts, the lock protocol, delayed commit
//   schema.cpp       stored table definitions
//   record.cpp       insert, update and remove of rows
#pragma once

#include <string>

#include "engine/exception.h"
#include "engine/file_header.h"
#include "engine/list.h"
#include "engine/mapped_file.h"
#include "engine/monitor.h"
#include "engine/sync.h"
#include "engine/thread_pool.h"
#include "engine/types.h"

class dbTableDescriptor;
class dbFieldDescriptor;
class dbAnyCursor;
class dbQuery;
class dbQueryCompiler;

// A cursor as the transaction machinery sees it: linked into its thread's
// context while it holds records of the running transaction.
class dbCursorLink : public dbL2List {
 public:
  virtual ~dbCursorLink() = default;
  // The transaction ended: the cursor forgets its records and unlinks itself.
  virtual void transactionEnded() = 0;
  // The mapping moved by delta: pointers of the fetched object into the old
  // mapping [oldBase, oldBase + oldSize] move with it.
  virtual void relocate(byte* oldBase, size_t oldSize, std::ptrdiff_t delta) = 0;
  // Row oid was updated (removed false) or removed.
  virtual void rowChanged(oid_t oid, bool removed) = 0;
};

// Per thread and per database: the thread's lock state and its cursors.
class dbDatabaseThreadContext : public dbL2List {
 public:
  bool readAccess = false;     // holds the shared lock
  bool writeAccess = false;    // holds the exclusive lock
  bool mutatorLocked = false;  // holds the concurrent writers' section
  bool commitDelayed = false;  // its commit was handed to the delayed-commit thread
  bool removeContext = false;  // delete once the delayed commit is done
  int4 transactionId = 0;      // the monitor's transactionId recorded by precommit
  nat4 threadId;               // the thread that created the context
  dbL2List cursors;            // dbCursorLinks of the running transaction
  dbQueryCompiler* compiler = nullptr;  // this thread's query compiler, made on first use

  dbDatabaseThreadContext() : threadId(dbGetThreadId()) {}
  ~dbDatabaseThreadContext();
  dbQueryCompiler& getCompiler();
};

class dbDatabase {
 public:
  enum dbAccessType : nat1 {
    accessReadOnly = 0,
    accessReadWrite = 1,
    accessConcurrentRead = 2,  // reads the committed state while others write
    accessConcurrentUpdate = 3,
  };
  enum { dbMaxScanThreads = 64 };
  enum dbDetachFlags { commitOnDetach = 1, destroyContextOnDetach = 2 };
  // Modes of beginTransaction.
  enum dbLockType { dbSharedLock = 0, dbExclusiveLock = 1, dbUpdateLockInOperation = 2 };

  static constexpr nat4 dbDefaultInitFileSize = 1024 * 1024;
  static constexpr nat4 dbDefaultExtensionQuantum = 4 * 1024 * 1024;
  static constexpr nat4 dbDefaultInitIndexSize = 64 * 1024;

  // Nothing is opened. scanThreads 0 means the number of processors; it is
  // never more than dbMaxScanThreads.
  dbDatabase(nat1 accessMode = accessReadWrite, nat4 initialFileSize = dbDefaultInitFileSize,
             nat4 extensionQuantum = dbDefaultExtensionQuantum, nat4 initialIndexSize = dbDefaultInitIndexSize,
             int scanThreads = 1);
  // Does not close an open database.
  virtual ~dbDatabase();
  dbDatabase(const dbDatabase&) = delete;
  dbDatabase& operator=(const dbDatabase&) = delete;

  // The one reporting point of engine errors: prints the message on the
  // standard error stream, then returns for classes 0, 1, 4, 10 and 11 and
  // throws dbException for every other class.
  virtual void handleError(dbErrorClass error, const char* msg = nullptr, int arg = 0);

  // Opens the database `name` stored in `fileName` (default: name + ".rvd").
  // waitLockTimeout is in milliseconds, dbWaitForever for no limit;
  // commitDelay in seconds, 0 for immediate commits. Returns true when usable;
  // otherwise the reason went through handleError.
  bool open(const char* name, const char* fileName = nullptr, nat4 waitLockTimeout = dbWaitForever,
            nat4 commitDelay = 0);
  // Commits this thread's work and releases everything; the handle may be opened again.
  void close();
  bool isOpen() const { return opened; }
  // Open handles of all processes together, read without locking.
  int getUserCount() const { return monitor ? monitor->users : 0; }

  // ---- Transactions (transaction.cpp)
  void commit();
  // Releases the lock without committing; a later commit stores the changes.
  void precommit();
  void rollback();

  // ---- Threads (lock.cpp)
  // Gives the calling thread a context; every thread but the opening one
  // attaches before its first transaction.
  void attach();
  void detach(int flags = commitOnDetach | destroyContextOnDetach);

  // Set before open: a stored table may lose fields its declaration dropped.
  bool allowColumnRemoval = false;

  nat1 getAccessMode() const { return accessMode; }
  int getScanThreads() const { return scanThreads; }
  const char* getName() const { return databaseName.c_str(); }
  const char* getFileName() const { return fileName.c_str(); }
  dbTableDescriptor* getTables() const { return tables; }

  // ---- Object index (transaction.cpp). Read access takes no lock and checks none.
  // Address of a record; its entry must be a used entry with marker 0.
  byte* getRow(oid_t oid);
  // Address of an object of any kind.
  byte* get(oid_t oid);
  // The record for writing, moved first when it is shared with the committed state.
  byte* putRow(oid_t oid);
  // The record for writing with a new size; keeps its next and prev words.
  byte* putRow(oid_t oid, size_t newSize);
  // putRow for index objects of every kind (size from the marker).
  byte* put(oid_t oid);
  oid_t allocateId(int n = 1);
  void freeId(oid_t oid, int n = 1);
  oid_t allocateObject(dbObjectMarker marker);
  void freeObject(oid_t oid);
  // Called before any change: marks the file dirty at the first one.
  void setDirty();
  // True when oid is shared with the committed state (must be copied to change).
  bool isCommitted(oid_t oid) const {
    return oid < committedIndexSize && index[0][oid] == index[1][oid];
  }
  // Size of the object behind an entry: from the marker, or the record's first word.
  nat4 getObjectSize(nat4 entry) const;

  // ---- Space (allocator.cpp)
  // New space of size bytes; when oid is not 0 the object is copied there and
  // its entry follows it.
  offs_t allocate(size_t size, oid_t oid = 0);
  void deallocate(offs_t pos, size_t size);
  // Makes private every bitmap page covering the space, without changing a bit.
  void cloneBitmap(offs_t pos, size_t size);
  // Makes the file at least size bytes long.
  void extend(offs_t size);

  // ---- Locks (lock.cpp)
  // Returns false only when the file cannot be mapped.
  bool beginTransaction(dbLockType mode);
  void endTransaction(dbDatabaseThreadContext* ctx);
  dbDatabaseThreadContext* getThreadContext() { return threadContext.get(); }

  // ---- Schema and rows (schema.cpp, record.cpp)
  bool loadSchema(bool create);
  void initializeMetatable();
  void linkTable(dbTableDescriptor* table, oid_t tableId);
  dbTableDescriptor* findTable(dbTableDescriptor* desc);
  // Forgets every bound table (close): copies are deleted, static
  // descriptors not fixed to a database are free for the next open.
  void unbindTables();
  oid_t addNewTable(dbTableDescriptor* desc);
  // Rewrites a table record from the descriptor, keeping its rows.
  void updateTableDescriptor(dbTableDescriptor* desc, oid_t tableId);
  // Rewrites a changed table record and converts every row to the new layout.
  // False for a damaged table: a row that does not fit the layout stored for
  // it, or more rows in the list than the table counts.
  bool convertRecords(oid_t tableId, dbTableDescriptor* desc);

  // Rows (record.cpp). The table must be bound to this database.
  oid_t insertRecord(dbTableDescriptor* table, const void* object);
  void updateRecord(oid_t oid, dbTableDescriptor* table, const void* object);
  void removeRecord(dbTableDescriptor* table, oid_t oid);
  // A new row of size bytes appended to the table's row list.
  oid_t allocateRow(oid_t tableId, size_t size);
  void freeRow(oid_t tableId, oid_t oid);

  // ---- Index upkeep of rows (index_upkeep.cpp)
  // Puts the row into every index of the table; rows is the hash growth limit.
  void insertIntoIndices(dbTableDescriptor* table, oid_t oid, nat4 rows);
  // Takes the row out of every index (changedOnly: only of the fields marked
  // ChangedByUpdate), reading the keys from the row as it is stored now.
  void removeFromIndices(dbTableDescriptor* table, oid_t oid, bool changedOnly);
  // Puts an updated row back into the indices of the fields marked ChangedByUpdate.
  void insertIntoChangedIndices(dbTableDescriptor* table, oid_t oid);
  // Creates and drops indices to follow the declaration; false when that is
  // not allowed to this process.
  bool updateIndices(dbTableDescriptor* table, bool create);
  // Drops the indices named in a stored field entry.
  void dropIndices(oid_t hashTable, oid_t tTree);

  // ---- Selection (query/select.cpp): fills the cursor from the query,
  // compiling it for the cursor's table when needed.
  void select(dbAnyCursor* cursor, dbQuery& query);
  // The threads of the parallel scan.
  dbThreadPool& getThreadPool();

  // Tells the calling thread's cursors that a row changed or went away.
  void notifyCursors(oid_t oid, bool removed);
  // Moves the fetched objects of the calling thread's cursors after the
  // mapping moved from oldBase by delta.
  void relocateCursors(byte* oldBase, size_t oldSize, std::ptrdiff_t delta);

  dbSharedMonitor* getMonitor() const { return monitor; }
  dbFileHeader* getHeader() const { return header; }
  oid_t* getCurrentIndex() const { return currentIndex; }
  nat4 getCurrentIndexSize() const { return currentIndexSize; }
  byte* getBaseAddress() const { return baseAddress; }

 protected:
  // ---- database.cpp
  void initializeFile(nat4 indexSize, nat4 fileSize);
  // Checks a mapped header before anything reads through it.
  bool validateHeader();
  void releaseSharedObjects();
  void reportFileError(const char* msg, int errorCode);
  std::string mappingName(nat4 version) const;
  // Brings this process up to the monitor's mapping version (run at the start
  // of every lock request). Returns false when the file cannot be mapped.
  bool updateMapping();
  // Takes the new base address after a (re)map.
  void setBaseAddress(byte* base);

  // ---- transaction.cpp
  // Adopts the monitor's roots for a transaction just granted.
  void refreshTransactionIndex();
  void commitNow(dbDatabaseThreadContext* ctx);
  void recovery();
  void restoreTablesConsistency();
  // Commit and rollback go on only when one of these holds.
  bool hasTransactionToEnd(dbDatabaseThreadContext* ctx) const;

  // ---- lock.cpp
  void enterGlobal() { sync->globalSection.lock(); }
  void leaveGlobal() { sync->globalSection.unlock(); }
  // Enters the concurrent writers' section; when its holder died there,
  // discards what it left in the working index first.
  void enterMutatorSection();
  // Waits on a lock semaphore until granted, giving a silent holder up for
  // dead after waitLockTimeout (see lock.cpp).
  template <class Granted, class Recover>
  void waitForGrant(dbSharedSemaphore& semaphore, Granted granted, Recover recover);
  // Gives the holder of the exclusive lock up for dead (inside the global
  // section): runs crash recovery to discard its changes. False when this
  // process cannot, and must leave the writer be.
  bool discardDeadWriter();
  // True, after dropping ctx's claim on the lock and reporting LockRevoked,
  // when ctx believes it holds the exclusive lock but another thread has been
  // recorded as writer since: the lock was taken over after a time-out.
  bool lockRevoked(dbDatabaseThreadContext* ctx);
  // ctx's commit has been handed to the delayed-commit thread and is not done yet.
  bool commitIsDelayed(dbDatabaseThreadContext* ctx);
  // Hands ctx's commit to the delayed-commit thread.
  void delayCommit(dbDatabaseThreadContext* ctx);
  void startDelayedCommitThread(nat4 delay);
  void stopDelayedCommitThread();
  static void delayedCommitProc(void* arg);
  void delayedCommit();

  // Construction parameters.
  nat1 accessMode;
  nat4 initialFileSize;
  nat4 extensionQuantum;
  nat4 initialIndexSize;
  int scanThreads;

  // The mapping. Every stored offset is relative to baseAddress.
  dbMappedFile file;
  byte* baseAddress = nullptr;
  dbFileHeader* header = nullptr;
  oid_t* index[2] = {nullptr, nullptr};
  oid_t* currentIndex = nullptr;
  nat4 committedIndexSize = 0;
  nat4 currentIndexSize = 0;
  nat4 mappingVersion = 0;  // the version this process has mapped; 0 = none yet

  // Allocation state of this process.
  struct dbLocation {
    offs_t pos;
    size_t size;
    dbLocation* next;
  };
  oid_t currRBitmapPage = dbBitmapId;  // cursor of record requests
  nat4 currRBitmapOffs = 0;
  oid_t currPBitmapPage = dbBitmapId;  // cursor of page requests
  nat4 currPBitmapOffs = 0;
  int4* bitmapPageAvailableSpace;      // dbFirstUserId hints, per bitmap page id
  dbLocation* reservedChain = nullptr;  // space chosen but not yet marked

  bool modified = false;
  bool opened = false;
  std::string databaseName;
  std::string fileName;
  nat4 waitLockTimeout = dbWaitForever;

  // Shared state of all processes.
  dbProcessLock processLock;
  dbSharedMemory sharedMemory;
  dbSharedMonitor* monitor = nullptr;
  dbSharedSync* sync = nullptr;

  dbTableDescriptor* tables = nullptr;
  oid_t updatedRecordId = 0;  // the row being updated, 0 outside an update
  // Rows whose inverse references are being removed, innermost first; the
  // entries live on the removing thread's stack.
  struct dbVisitedRecord {
    oid_t oid;
    dbVisitedRecord* next;
  };
  dbVisitedRecord* visitedRecords = nullptr;

  // ---- record.cpp
  void insertInverseReference(dbFieldDescriptor* fd, oid_t referrer, oid_t target);
  void removeInverseReference(dbFieldDescriptor* fd, oid_t referrer, oid_t target);
  void removeInverseReferences(dbTableDescriptor* table, oid_t oid);

  // Threads.
  dbThreadContext<dbDatabaseThreadContext> threadContext;
  dbMutex threadContextsMutex;
  dbL2List threadContexts;

  // Delayed commit.
  nat4 commitDelay = 0;
  nat4 commitTimeout = 0;
  nat4 commitTimerStarted = 0;
  bool stopDelayedCommitThreadFlag = false;
  // The context whose commit is delayed. Kept per process: the address means
  // nothing in another process, whose delayed-commit thread must never see it.
  dbDatabaseThreadContext* delayedTransaction = nullptr;
  dbMutex delayedCommitStartTimerMutex;
  dbMutex delayedCommitStopTimerMutex;
  dbPrivateEvent delayedCommitStartTimerEvent;
  dbPrivateEvent commitThreadSyncEvent;
  dbThread commitThread;

  dbThreadPool threadPool;

  // ---- allocator.cpp
  // A search of the bitmap pages for `quanta` free quanta, from `page` at
  // byte `offs`; `carried` is the free run ending where the scan stands.
  struct dbSpaceSearch {
    nat8 quanta;
    bool pageRequest;  // starts on a 4096-byte boundary
    oid_t page;
    nat4 offs;
    nat8 carried;
    offs_t found;
  };
  // Scans up to and including lastPage, stopping at the first missing bitmap
  // page. True with `found`, `page` and `offs` set when the space is free.
  bool findFreeSpace(dbSpaceSearch& search, oid_t lastPage);
  // Takes the space found and returns its offset.
  offs_t placeObject(const dbSpaceSearch& search, oid_t oid);
  // Grows the used area at the first missing bitmap page, where search stopped.
  offs_t growUsedArea(const dbSpaceSearch& search, oid_t oid);
  // Sets or clears count bits from quantum first on, making the pages private.
  void markQuanta(nat8 first, nat8 count, bool used);
  void moveObject(oid_t oid, offs_t pos, size_t size);
  bool isReserved(offs_t pos, size_t size) const;
};
