// Object index access with copy-on-write, identifier allocation, commit,
// rollback and crash recovery.
//
// The committed state is the root named by the header's currentRoot; a
// transaction writes only into the other root's index array and into space
// that the committed bitmaps mark free. The one exception is the `next` word
// of a table's last row, written in place by an append and repaired by
// restoreTablesConsistency after a rollback or a crash.
#include <cstring>

#include "engine/allocator.h"
#include "engine/database.h"
#include "engine/fault_injection.h"

// ---- Reading

byte* dbDatabase::getRow(oid_t oid) {
  dbCheck(oid < currentIndexSize);
  nat4 entry = currentIndex[oid];
  dbCheck((entry & (dbFreeHandleMarker | dbFlagsMask)) == 0 && entry != 0);
  dbCheck(entry + sizeof(dbRecord) <= header->fileSize);
  byte* rec = baseAddress + entry;
  dbCheck(reinterpret_cast<dbRecord*>(rec)->size <= header->fileSize - entry);
  return rec;
}

byte* dbDatabase::get(oid_t oid) {
  dbCheck(oid < currentIndexSize);
  nat4 entry = currentIndex[oid];
  dbCheck(!dbIsFreeEntry(entry) && (entry & ~dbFlagsMask) != 0);
  dbCheck((entry & ~dbFlagsMask) < header->fileSize);
  return baseAddress + (entry & ~dbFlagsMask);
}

nat4 dbDatabase::getObjectSize(nat4 entry) const {
  nat4 marker = entry & dbFlagsMask;
  if (marker == dbRecordMarker) return reinterpret_cast<dbRecord*>(baseAddress + entry)->size;
  dbCheck(dbObjectSizeOfMarker[marker] != 0);
  return dbObjectSizeOfMarker[marker];
}

// ---- Writing

void dbDatabase::setDirty() {
  if (!header->dirty) {
    if (accessMode == accessReadOnly || accessMode == accessConcurrentRead) {
      handleError(DatabaseReadOnly);
    }
    header->dirty = 1;
    if (int rc = file.flush()) handleError(FileError, "Failed to flush database file", rc);
  }
  modified = true;
}

byte* dbDatabase::put(oid_t oid) {
  dbCheck(oid < currentIndexSize);
  nat4 entry = currentIndex[oid];
  dbCheck(!dbIsFreeEntry(entry));
  if (isCommitted(oid)) {
    offs_t pos = entry & ~dbFlagsMask;
    nat4 size = getObjectSize(entry);
    allocate(size, oid);  // copies the object; the entry keeps its marker
    cloneBitmap(pos, size);
    monitor->setDirty(oid);
  }
  return baseAddress + (currentIndex[oid] & ~dbFlagsMask);
}

byte* dbDatabase::putRow(oid_t oid) {
  getRow(oid);  // checks that oid is a record
  return put(oid);
}

byte* dbDatabase::putRow(oid_t oid, size_t newSize) {
  byte* rec = getRow(oid);
  offs_t pos = currentIndex[oid];
  nat4 oldSize = reinterpret_cast<dbRecord*>(rec)->size;
  bool committed = isCommitted(oid);
  if (!committed && oldSize == newSize) return rec;
  offs_t newPos = allocate(newSize);
  dbRecord* oldRec = reinterpret_cast<dbRecord*>(baseAddress + pos);  // the base may have moved
  dbRecord* newRec = reinterpret_cast<dbRecord*>(baseAddress + newPos);
  newRec->size = static_cast<nat4>(newSize);
  newRec->next = oldRec->next;
  newRec->prev = oldRec->prev;
  currentIndex[oid] = newPos;
  if (committed) {
    cloneBitmap(pos, oldSize);
    monitor->setDirty(oid);
  } else {
    deallocate(pos, oldSize);
  }
  return baseAddress + newPos;
}

// ---- Identifiers

oid_t dbDatabase::allocateId(int n) {
  setDirty();
  dbFileHeader::Root& w = header->root[1 - header->currentRoot];
  if (n == 1 && w.freeIdList != 0) {
    oid_t oid = w.freeIdList;
    dbCheck(oid < currentIndexSize && dbIsFreeEntry(currentIndex[oid]));
    w.freeIdList = currentIndex[oid] & ~dbFreeHandleMarker;
    monitor->setDirty(oid);
    return oid;
  }
  if (w.indexSize < currentIndexSize + static_cast<nat4>(n)) {
    nat4 oldSize = w.indexSize;
    nat8 newSize = static_cast<nat8>(oldSize) * 2;
    while (newSize < static_cast<nat8>(oldSize) + n) newSize *= 2;
    if (newSize * sizeof(oid_t) >= (nat8(1) << 32)) handleError(OutOfMemory, nullptr, n);
    offs_t oldPos = w.indexOffset;
    offs_t newPos = allocate(newSize * sizeof(oid_t));
    // allocate may have grown the file; w is in the header, which moved with it.
    dbFileHeader::Root& root = header->root[1 - header->currentRoot];
    memcpy(baseAddress + newPos, currentIndex, currentIndexSize * sizeof(oid_t));
    currentIndex = index[1 - header->currentRoot] = reinterpret_cast<oid_t*>(baseAddress + newPos);
    root.indexOffset = newPos;
    root.indexSize = static_cast<nat4>(newSize);
    deallocate(oldPos, oldSize * sizeof(oid_t));
  }
  oid_t oid = currentIndexSize;
  currentIndexSize += n;
  header->root[1 - header->currentRoot].indexUsed = currentIndexSize;
  return oid;
}

void dbDatabase::freeId(oid_t oid, int n) {
  dbFileHeader::Root& w = header->root[1 - header->currentRoot];
  oid_t head = w.freeIdList;
  for (int i = 0; i < n; i++, oid++) {
    monitor->setDirty(oid);
    currentIndex[oid] = dbFreeHandleMarker | head;
    head = oid;
  }
  w.freeIdList = head;
}

oid_t dbDatabase::allocateObject(dbObjectMarker marker) {
  oid_t oid = allocateId();
  offs_t pos = allocate(dbObjectSizeOfMarker[marker]);
  currentIndex[oid] = pos + marker;
  return oid;
}

void dbDatabase::freeObject(oid_t oid) {
  dbCheck(oid < currentIndexSize && !dbIsFreeEntry(currentIndex[oid]));
  nat4 entry = currentIndex[oid];
  nat4 size = getObjectSize(entry);
  if (isCommitted(oid)) {
    cloneBitmap(entry & ~dbFlagsMask, size);
  } else {
    deallocate(entry & ~dbFlagsMask, size);
  }
  freeId(oid);
}

// ---- Transaction boundaries

void dbDatabase::refreshTransactionIndex() {
  enterGlobal();
  nat4 m = monitor->currentRoot;
  nat4 working = accessMode == accessConcurrentRead ? m : 1 - m;
  // Only what changed is written: a reader granted while another thread of
  // this process commits finds the members current, and the committer reads them.
  auto refresh = [](auto& member, auto value) {
    if (member != value) member = value;
  };
  refresh(index[0], reinterpret_cast<oid_t*>(baseAddress + header->root[0].indexOffset));
  refresh(index[1], reinterpret_cast<oid_t*>(baseAddress + header->root[1].indexOffset));
  refresh(currentIndex, index[working]);
  refresh(currentIndexSize, header->root[working].indexUsed);
  refresh(committedIndexSize, header->root[m].indexUsed);
  leaveGlobal();
}

bool dbDatabase::hasTransactionToEnd(dbDatabaseThreadContext* ctx) const {
  return monitor->uncommittedChanges || ctx->writeAccess || ctx->mutatorLocked ||
         monitor->transactionId == ctx->transactionId;
}

void dbDatabase::commit() {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr || commitIsDelayed(ctx) || lockRevoked(ctx)) return;
  enterGlobal();
  bool mustCommit = modified && !monitor->commitInProgress && hasTransactionToEnd(ctx);
  leaveGlobal();
  if (!mustCommit) {
    if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) endTransaction(ctx);
    return;
  }
  if (!ctx->writeAccess) beginTransaction(dbUpdateLockInOperation);
  // The writers' section of concurrent-update mode can be left only by the
  // thread that entered it, so there the commit is never delayed.
  if (commitDelay != 0 && accessMode != accessConcurrentUpdate) {
    delayCommit(ctx);  // the thread keeps its lock until the delayed commit is done
    return;
  }
  commitNow(ctx);
}

// Calls f(group) for every group of 1024 identifiers below limit whose dirty bit is set.
template <class F>
static void forEachDirtyGroup(dbSharedMonitor* monitor, nat4 limit, F f) {
  nat4 words = (limit + (dbHandlesPerPage * 32) - 1) / (dbHandlesPerPage * 32);
  for (nat4 w = 0; w < words; w++) {
    nat4 bits = monitor->dirtyIndexPages[w];
    while (bits != 0) {
      int b = std::countr_zero(bits);
      bits &= bits - 1;
      oid_t first = (w * 32 + b) * dbHandlesPerPage;
      if (first < limit) f(first);
    }
  }
}

void dbDatabase::commitNow(dbDatabaseThreadContext* ctx) {
  nat4 c = header->currentRoot;
  nat4 w = 1 - c;

  // 1. The arrays must end up of equal sizes: give the working root a new
  // shadow of its size; the committed root's array is not used again.
  if (header->root[c].indexSize < header->root[w].indexSize) {
    offs_t newPos = allocate(static_cast<size_t>(header->root[w].indexSize) * sizeof(oid_t));
    offs_t oldPos = header->root[c].indexOffset;
    size_t oldBytes = static_cast<size_t>(header->root[c].indexSize) * sizeof(oid_t);
    header->root[w].shadowIndexOffset = newPos;
    header->root[w].shadowIndexSize = header->root[w].indexSize;
    cloneBitmap(oldPos, oldBytes);
    deallocate(oldPos, oldBytes);
  }

  // 2. Become a reader, so that readers run while the commit flushes. Readers
  // of this process granted from here on refresh the index members, so the
  // commit works on its own copies of them.
  oid_t* committed = index[c];
  oid_t* working = currentIndex;
  nat4 committedSize = committedIndexSize;
  nat4 workingSize = currentIndexSize;
  enterGlobal();
  monitor->commitInProgress = 1;
  monitor->writers -= 1;
  monitor->readers += 1;
  monitor->writerThreadId = 0;
  ctx->writeAccess = false;
  ctx->readAccess = true;
  if (accessMode == accessConcurrentUpdate) monitor->currentRoot = w;
  if (monitor->waitingReaders != 0) {
    monitor->readers += monitor->waitingReaders;
    sync->readersSemaphore.signal(monitor->waitingReaders);
    monitor->waitingReaders = 0;
  }
  leaveGlobal();

  // 3. Committed versions replaced or freed by this transaction are garbage now.
  auto freeGarbage = [&](oid_t from, oid_t till) {
    for (oid_t oid = from; oid < till; oid++) {
      nat4 old = committed[oid];
      if (old != working[oid] && !dbIsFreeEntry(old)) deallocate(old & ~dbFlagsMask, getObjectSize(old));
    }
  };
  nat4 lastGroup = committedSize & ~(dbHandlesPerPage - 1);
  forEachDirtyGroup(monitor, lastGroup, [&](oid_t first) { freeGarbage(first, first + dbHandlesPerPage); });
  freeGarbage(lastGroup, committedSize);

  // 4, 5. Everything but the root switch reaches the disk, then the switch.
  if (int rc = file.flush()) handleError(FileError, "Failed to flush database file", rc);
  dbFaultPoint("commit.afterDataFlush");
  enterGlobal();
  while (monitor->backupInProgress) {
    leaveGlobal();
    sync->backupCompletedEvent.wait(dbWaitForever);
    enterGlobal();
  }
  header->currentRoot = w;
  leaveGlobal();
  dbFaultPoint("commit.afterRootSwitch");
  if (int rc = file.flush()) handleError(FileError, "Failed to flush database file", rc);
  dbFaultPoint("commit.afterSecondFlush");

  // 6, 7. The old committed root becomes the working root, refreshed from the new one.
  dbFileHeader::Root& cr = header->root[c];
  dbFileHeader::Root& wr = header->root[w];
  cr.indexUsed = workingSize;
  cr.freeIdList = wr.freeIdList;
  if (cr.indexSize == wr.indexSize) {
    oid_t* target = committed;
    forEachDirtyGroup(monitor, lastGroup, [&](oid_t first) {
      memcpy(target + first, working + first, dbHandlesPerPage * sizeof(oid_t));
      monitor->clearDirty(first);
    });
    memcpy(target + lastGroup, working + lastGroup, (workingSize - lastGroup) * sizeof(oid_t));
  } else {
    cr.indexOffset = wr.shadowIndexOffset;
    cr.indexSize = wr.shadowIndexSize;
    cr.shadowIndexOffset = wr.indexOffset;
    cr.shadowIndexSize = wr.indexSize;
    memcpy(baseAddress + cr.indexOffset, working, workingSize * sizeof(oid_t));
    for (oid_t g = 0; g < lastGroup; g += dbHandlesPerPage) monitor->clearDirty(g);
  }
  for (oid_t g = lastGroup; g < workingSize; g += dbHandlesPerPage) monitor->clearDirty(g);

  // 8, 9.
  enterGlobal();
  index[c] = reinterpret_cast<oid_t*>(baseAddress + cr.indexOffset);
  modified = false;
  monitor->uncommittedChanges = 0;
  monitor->commitInProgress = 0;
  if (accessMode != accessConcurrentUpdate) monitor->currentRoot = w;
  monitor->transactionId += 1;
  leaveGlobal();
  endTransaction(ctx);
}

void dbDatabase::precommit() {
  dbCheck(accessMode != accessConcurrentUpdate);
  dbDatabaseThreadContext* ctx = threadContext.get();
  // A pending delayed commit keeps the lock until it is done.
  if (ctx != nullptr && !commitIsDelayed(ctx) && (ctx->readAccess || ctx->writeAccess)) {
    ctx->transactionId = monitor->transactionId;
    endTransaction(ctx);
  }
}

void dbDatabase::rollback() {
  dbDatabaseThreadContext* ctx = threadContext.get();
  // A pending delayed commit has ended the transaction already: nothing to undo.
  if (ctx == nullptr || commitIsDelayed(ctx)) return;
  if (modified && hasTransactionToEnd(ctx)) {
    if (!ctx->writeAccess) beginTransaction(dbUpdateLockInOperation);
    currRBitmapPage = currPBitmapPage = dbBitmapId;
    currRBitmapOffs = currPBitmapOffs = 0;
    // Hints learnt in the rolled-back transaction may hide space it used.
    for (nat4 i = 0; i < dbFirstUserId; i++) bitmapPageAvailableSpace[i] = dbUnknownFreeSpace;
    nat4 c = header->currentRoot;
    nat4 w = 1 - c;
    dbFileHeader::Root& cr = header->root[c];
    dbFileHeader::Root& wr = header->root[w];
    oid_t* source = index[c];
    oid_t* target = reinterpret_cast<oid_t*>(baseAddress + cr.shadowIndexOffset);
    nat4 groups = dbAlign(committedIndexSize, dbHandlesPerPage);
    if (groups > cr.shadowIndexSize) groups = cr.shadowIndexSize;
    if (wr.indexOffset == cr.shadowIndexOffset) {
      forEachDirtyGroup(monitor, groups, [&](oid_t first) {
        memcpy(target + first, source + first, dbHandlesPerPage * sizeof(oid_t));
      });
    } else {
      memcpy(target, source, groups * sizeof(oid_t));
    }
    wr.indexSize = cr.shadowIndexSize;
    wr.indexUsed = cr.indexUsed;
    wr.freeIdList = cr.freeIdList;
    wr.indexOffset = cr.shadowIndexOffset;
    index[w] = currentIndex = target;
    for (oid_t g = 0; g < currentIndexSize; g += dbHandlesPerPage) monitor->clearDirty(g);
    currentIndexSize = wr.indexUsed;
    enterGlobal();
    modified = false;
    monitor->uncommittedChanges = 0;
    monitor->transactionId += 1;
    leaveGlobal();
    restoreTablesConsistency();
  }
  if (monitor->users != 0 && (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked)) endTransaction(ctx);
}

// ---- Recovery

void dbDatabase::recovery() {
  nat4 c = header->currentRoot;
  nat4 w = 1 - c;
  dbFileHeader::Root& cr = header->root[c];
  dbFileHeader::Root& wr = header->root[w];
  header->fileSize = static_cast<nat4>(file.getSize());
  wr.indexUsed = cr.indexUsed;
  wr.freeIdList = cr.freeIdList;
  wr.indexOffset = cr.shadowIndexOffset;
  wr.indexSize = cr.shadowIndexSize;
  wr.shadowIndexOffset = cr.indexOffset;
  wr.shadowIndexSize = cr.indexSize;
  index[c] = reinterpret_cast<oid_t*>(baseAddress + cr.indexOffset);
  index[w] = reinterpret_cast<oid_t*>(baseAddress + wr.indexOffset);
  oid_t* committed = index[c];
  oid_t* working = index[w];
  for (oid_t oid = 0; oid < cr.indexUsed; oid++) {
    if (working[oid] != committed[oid]) working[oid] = committed[oid];
  }
  for (oid_t g = 0; g < cr.indexSize; g += dbHandlesPerPage) monitor->clearDirty(g);
  currentIndex = working;
  currentIndexSize = committedIndexSize = cr.indexUsed;
  restoreTablesConsistency();
}

void dbDatabase::restoreTablesConsistency() {
  // Table records: the row list fields at offsets 32 (nRows), 40 (firstRow), 44 (lastRow).
  auto clearLastNext = [this](byte* table) {
    oid_t last = *reinterpret_cast<oid_t*>(table + 44);
    if (last != 0) {
      dbRecord* row = reinterpret_cast<dbRecord*>(getRow(last));
      if (row->next != 0) row->next = 0;
    }
  };
  byte* meta = getRow(dbMetaTableId);
  clearLastNext(meta);
  nat4 n = *reinterpret_cast<nat4*>(meta + 32);
  oid_t table = *reinterpret_cast<oid_t*>(meta + 40);
  for (nat4 i = 0; i < n && table != 0; i++) {
    byte* rec = getRow(table);
    clearLastNext(rec);
    table = reinterpret_cast<dbRecord*>(rec)->next;
  }
}
