#include "engine/database.h"

#include "engine/allocator.h"

#include <cstdio>
#include <cstring>

// ---- Error reporting

// The system's text for an error code, or "unknown error code %u".
static void systemErrorText(int code, char* buf, size_t size) {
  const char* text = strerrordesc_np(code);
  if (text) {
    snprintf(buf, size, "%s", text);
  } else {
    snprintf(buf, size, "unknown error code %u", static_cast<unsigned>(code));
  }
}

void dbDatabase::handleError(dbErrorClass error, const char* msg, int arg) {
  char text[512];
  char sysText[256];
  bool thrown = true;
  switch (error) {
    case NoError:
      return;
    case QueryError:
      fprintf(stderr, "%s in position %d\n", msg, arg);
      return;
    case ArithmeticError:
    case DatabaseOpenError:
    case InconsistentInverseReference:
      snprintf(text, sizeof text, "%s", msg ? msg : "");
      fprintf(stderr, "%s\n", text);
      thrown = error == ArithmeticError;
      break;
    case IndexOutOfRange:
      snprintf(text, sizeof text, "Index %d is out of range", arg);
      fprintf(stderr, "%s\n", text);
      break;
    case FileError:
      systemErrorText(arg, sysText, sizeof sysText);
      snprintf(text, sizeof text, "%s: %s", msg ? msg : "", sysText);
      fprintf(stderr, "%s\n", text);
      break;
    case OutOfMemory:
      snprintf(text, sizeof text, "Not enough memory: failed to allocate %d bytes", arg);
      fprintf(stderr, "%s\n", text);
      break;
    case Deadlock:
      snprintf(text, sizeof text, "Deadlock is caused by upgrading shared locks to exclusive");
      fputs(text, stderr);
      break;
    case NullReference:
      snprintf(text, sizeof text, "Null object reference is accessed");
      fprintf(stderr, "%s\n", text);
      break;
    case LockRevoked:
      snprintf(text, sizeof text, "Lock is revoked by some other client");
      fputs(text, stderr);
      break;
    case FileLimitExceeded:
      return;
    case DatabaseReadOnly:
      snprintf(text, sizeof text, "Attempt to modify readonly database");
      fputs(text, stderr);
      break;
  }
  if (thrown) throw dbException(error, text, arg);
}

// ---- Construction

dbDatabase::dbDatabase(nat1 mode, nat4 fileSize, nat4 quantum, nat4 indexSize, int threads)
    : accessMode(mode),
      initialFileSize(fileSize),
      extensionQuantum(quantum),
      initialIndexSize(indexSize),
      scanThreads(threads == 0 ? dbGetProcessorCount() : threads),
      bitmapPageAvailableSpace(new int4[dbFirstUserId]) {
  if (scanThreads > dbMaxScanThreads) scanThreads = dbMaxScanThreads;
  if (scanThreads < 1) scanThreads = 1;
}

dbDatabase::~dbDatabase() { delete[] bitmapPageAvailableSpace; }

std::string dbDatabase::mappingName(nat4 version) const { return databaseName + "." + std::to_string(version); }

void dbDatabase::setBaseAddress(byte* base) {
  if (baseAddress != nullptr && base != baseAddress) {
    std::ptrdiff_t delta = base - baseAddress;
    for (oid_t*& array : index) {
      if (array) array = reinterpret_cast<oid_t*>(reinterpret_cast<byte*>(array) + delta);
    }
    if (currentIndex) currentIndex = reinterpret_cast<oid_t*>(reinterpret_cast<byte*>(currentIndex) + delta);
  }
  baseAddress = base;
  header = reinterpret_cast<dbFileHeader*>(base);
}

bool dbDatabase::updateMapping() {
  if (monitor->mappingVersion == mappingVersion) return true;
  std::string name = mappingName(monitor->mappingVersion);
  if (mappingVersion != 0) {
    if (int rc = file.setSize(header->fileSize, name.c_str())) {
      handleError(FileError, "Failed to reopen database file", rc);
    }
  } else if (file.open(fileName.c_str(), name.c_str(), accessMode == accessReadOnly || accessMode == accessConcurrentRead, 0) != 0) {
    handleError(DatabaseOpenError, "Failed to open database file");
    return false;
  }
  mappingVersion = monitor->mappingVersion;
  baseAddress = nullptr;  // a fresh mapping: index pointers are set by the transaction start
  setBaseAddress(file.getBase());
  dbCheck(file.getSize() >= sizeof(dbFileHeader) && file.getSize() == header->fileSize);
  return true;
}

// ---- Open

// Bytes of an index array of n entries.
static nat8 indexBytes(nat4 n) { return static_cast<nat8>(n) * sizeof(oid_t); }

bool dbDatabase::validateHeader() {
  size_t size = file.getSize();
  bool readOnly = accessMode == accessReadOnly || accessMode == accessConcurrentRead;
  if (size < sizeof(dbFileHeader)) {
    handleError(DatabaseOpenError, file.getOriginalSize() == 0 ? "Can not open uninitialized file in read only mode"
                                                               : "Database file was corrupted: file is shorter than its header");
    return false;
  }
  if (header->currentRoot > 1) {
    handleError(DatabaseOpenError, "Database file was corrupted: invalid root index");
    return false;
  }
  if (header->initialized != 1) {
    if (readOnly) {
      handleError(DatabaseOpenError, "Can not open uninitialized file in read only mode");
      return false;
    }
    // Only an empty file, or one whose initialisation by this engine was cut
    // short, is initialised; anything else is not ours to overwrite.
    bool ours = header->initialized == 0 && header->majorVersion == dbMajorVersion && header->minorVersion == dbMinorVersion;
    bool blank = true;
    for (size_t i = 0; i < sizeof(dbFileHeader) && blank; i++) blank = reinterpret_cast<byte*>(header)[i] == 0;
    if (file.getOriginalSize() != 0 && !ours && !blank) {
      handleError(DatabaseOpenError, "Database file was corrupted: not a database file");
      return false;
    }
    return true;
  }
  // Every index array that recovery or a transaction will read must lie in the file.
  for (const dbFileHeader::Root& r : header->root) {
    bool sane = r.indexOffset % dbAllocationQuantum == 0 && r.shadowIndexOffset % dbAllocationQuantum == 0 &&
                r.indexOffset >= sizeof(dbFileHeader) && r.shadowIndexOffset >= sizeof(dbFileHeader) &&
                r.indexOffset + indexBytes(r.indexSize) <= size && r.shadowIndexOffset + indexBytes(r.shadowIndexSize) <= size &&
                r.indexSize >= dbFirstUserId && r.shadowIndexSize >= dbFirstUserId && r.indexUsed >= dbFirstUserId &&
                r.indexUsed <= r.indexSize && r.indexUsed <= r.shadowIndexSize && r.freeIdList < r.indexUsed;
    if (!sane) {
      handleError(DatabaseOpenError, "Database file was corrupted: invalid object index");
      return false;
    }
  }
  monitor->currentRoot = header->currentRoot;
  if (header->dirty) {
    if (readOnly) {
      handleError(DatabaseOpenError, "Can not open dirty file in read only moode");
      return false;
    }
  } else if (size != header->fileSize) {
    handleError(DatabaseOpenError, "Database file was corrupted: file size in header differs from actual file size");
    return false;
  }
  return true;
}

void dbDatabase::initializeFile(nat4 indexSize, nat4 fileSize) {
  memset(header, 0, sizeof(dbFileHeader));
  header->currentRoot = 0;
  monitor->currentRoot = 0;
  header->fileSize = fileSize;
  for (int i = 0; i < 2; i++) {
    dbFileHeader::Root& r = header->root[i];
    r.indexOffset = dbIndexArrayOffset + i * indexSize * sizeof(oid_t);
    r.shadowIndexOffset = dbIndexArrayOffset + (1 - i) * indexSize * sizeof(oid_t);
    r.indexSize = r.shadowIndexSize = indexSize;
    r.indexUsed = dbFirstUserId;
    r.freeIdList = 0;
  }
  header->majorVersion = dbMajorVersion;
  header->minorVersion = dbMinorVersion;

  index[0] = reinterpret_cast<oid_t*>(baseAddress + header->root[0].indexOffset);
  index[1] = reinterpret_cast<oid_t*>(baseAddress + header->root[1].indexOffset);
  oid_t* idx = index[0];
  idx[0] = dbFreeHandleMarker;

  // The bitmap pages follow both index arrays; each describes 524288 bytes of
  // file and so P pages cover themselves and everything in front of them.
  offs_t used = dbIndexArrayOffset + 2 * indexSize * sizeof(oid_t);
  nat4 bitmapPages = (used + dbBytesPerBitmapPage - dbPageSize - 1) / (dbBytesPerBitmapPage - dbPageSize);
  nat4 usedBitmapBytes = (used + bitmapPages * dbPageSize) / (dbAllocationQuantum * 8);
  memset(baseAddress + used, 0xFF, usedBitmapBytes);
  for (nat4 k = 0; k < bitmapPages; k++) idx[dbBitmapId + k] = used + k * dbPageSize + dbPageObjectMarker;
  for (oid_t oid = dbBitmapId + bitmapPages; oid < dbFirstUserId; oid++) idx[oid] = dbFreeHandleMarker;

  currentIndex = index[0];
  currentIndexSize = dbFirstUserId;
  committedIndexSize = 0;
  initializeMetatable();

  header->dirty = 1;
  memcpy(index[1], index[0], dbFirstUserId * sizeof(oid_t));
  if (int rc = file.flush()) handleError(FileError, "Failed to flush database file", rc);
  header->initialized = 1;
  if (int rc = file.flush()) handleError(FileError, "Failed to flush database file", rc);
  modified = false;
}

void dbDatabase::releaseSharedObjects() {
  file.close();
  baseAddress = nullptr;
  header = nullptr;
  index[0] = index[1] = currentIndex = nullptr;
  mappingVersion = 0;
  sharedMemory.close();
  monitor = nullptr;
  sync = nullptr;
  processLock.close();
}

bool dbDatabase::open(const char* name, const char* dbFileName, nat4 lockTimeout, nat4 delay) {
  waitLockTimeout = lockTimeout;
  commitDelay = commitTimeout = 0;
  commitTimerStarted = 0;
  opened = false;
  databaseName = name ? name : "";
  fileName = dbFileName ? dbFileName : databaseName + ".rvd";

  // Shared objects are named after the database; a name that cannot be part
  // of a file name cannot name them either.
  bool goodName = !databaseName.empty() && databaseName.find('/') == std::string::npos;
  if (!goodName || !processLock.enterInitialization(databaseName + ".in")) {
    handleError(DatabaseOpenError, "Failed to start database initialization");
    processLock.close();
    return false;
  }
  bool initializer = processLock.registerUser();
  if (!initializer) processLock.leaveInitialization();  // the initialiser has finished

  auto fail = [this](const char* msg) {
    if (msg) handleError(DatabaseOpenError, msg);
    if (dbDatabaseThreadContext* ctx = threadContext.get()) {
      if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) endTransaction(ctx);
      threadContext.set(nullptr);
      dbCriticalSection cs(threadContextsMutex);
      delete ctx;
    }
    unbindTables();
    // As in close: the last user leaves no monitor block behind.
    sharedMemory.close();
    if (processLock.leaveAsLastUser()) dbSharedMemory::remove(databaseName + ".dm");
    releaseSharedObjects();
    return false;
  };

  if (!sharedMemory.open(databaseName + ".dm", sizeof(dbSharedBlock))) return fail("Failed to open database monitor");
  dbSharedBlock* block = static_cast<dbSharedBlock*>(sharedMemory.get());
  monitor = &block->monitor;
  sync = &block->sync;

  nat4 indexSize = initialIndexSize < dbFirstUserId ? dbFirstUserId : initialIndexSize;
  indexSize = dbAlign(indexSize, dbHandlesPerPage);
  nat8 fileSize = initialFileSize ? initialFileSize : dbDefaultInitFileSize;
  if (fileSize < static_cast<nat8>(indexSize) * 16) fileSize = static_cast<nat8>(indexSize) * 16;
  fileSize = dbAlign<nat8>(fileSize, dbBytesPerBitmapPage);

  for (nat4 i = 0; i < dbFirstUserId; i++) bitmapPageAvailableSpace[i] = dbUnknownFreeSpace;
  currRBitmapPage = currPBitmapPage = dbBitmapId;
  currRBitmapOffs = currPBitmapOffs = 0;
  reservedChain = nullptr;
  tables = nullptr;
  modified = false;
  attach();

  bool readOnly = accessMode == accessReadOnly || accessMode == accessConcurrentRead;
  try {
    if (initializer) {
      // No other process is alive: whatever the block holds is stale.
      memset(block, 0, sizeof(dbSharedBlock));
      sync->initialize();
      monitor->mappingVersion = mappingVersion = 1;
      monitor->transactionId = 1;
      if (file.open(fileName.c_str(), mappingName(1).c_str(), readOnly, fileSize) != 0) {
        return fail("Failed to create database file");
      }
      setBaseAddress(file.getBase());
      if (!validateHeader()) return fail(nullptr);
      if (header->initialized == 1) {
        if (header->dirty) recovery();
      } else {
        initializeFile(indexSize, static_cast<nat4>(fileSize));
      }
      if (!loadSchema(true)) return fail(nullptr);
      processLock.leaveInitialization();
    } else {
      mappingVersion = 0;  // mapped by the first lock request
      if (!loadSchema(false)) return fail(nullptr);
    }
  } catch (const dbException&) {
    // A stored table that cannot be converted, or a damaged file: nothing
    // of this open stays behind.
    if (modified && threadContext.get() != nullptr) rollback();
    fail(nullptr);
    throw;
  }

  enterGlobal();
  monitor->users += 1;
  leaveGlobal();
  opened = true;
  if (delay != 0) startDelayedCommitThread(delay);
  return true;
}

// ---- Close

void dbDatabase::close() {
  if (!opened) return;
  detach(commitOnDetach | destroyContextOnDetach);
  if (commitDelay != 0) stopDelayedCommitThread();
  {
    dbCriticalSection cs(threadContextsMutex);
    while (!threadContexts.isEmpty()) delete static_cast<dbDatabaseThreadContext*>(threadContexts.next);
  }
  opened = false;

  enterGlobal();
  monitor->users -= 1;
  bool writable = accessMode == accessReadWrite || accessMode == accessConcurrentUpdate;
  if (header && header->dirty && writable && monitor->writers == 0) {
    if (file.flush() == 0) {
      header->dirty = 0;
      file.flush();
    }
  }
  leaveGlobal();
  unbindTables();
  file.close();
  sharedMemory.close();
  // The last process to close removes the shared block, so that names of
  // databases no longer used do not pile up.
  if (processLock.leaveAsLastUser()) dbSharedMemory::remove(databaseName + ".dm");
  releaseSharedObjects();
}
