// Index upkeep: rows entering, changing and leaving the T-tree and hash
// indices of their table, and the indices following the declaration when a
// table is bound.
//
// A table's hashedFields and treeIndexedFields lists hold exactly the
// non-structure fields flagged HASHED and INDEXED; each of them has its index.
#include "engine/database.h"
#include "engine/hash_table.h"
#include "engine/table_descriptor.h"
#include "engine/table_record.h"
#include "engine/ttree.h"

namespace {

bool changed(const dbFieldDescriptor* fd) { return (fd->layoutFlags & dbFieldDescriptor::ChangedByUpdate) != 0; }

void hashInsert(dbDatabase* db, const dbFieldDescriptor* fd, oid_t oid, nat4 rows) {
  dbHashTable::insert(db, fd->hashIndex, oid, fd->storedType, fd->storedSize, fd->storedOffset, rows);
}

void treeInsert(dbDatabase* db, const dbFieldDescriptor* fd, oid_t oid) {
  dbTtree::insert(db, fd->treeIndex, oid, fd->storedType, fd->storedSize, fd->compare, fd->storedOffset);
}

}  // namespace

void dbDatabase::insertIntoIndices(dbTableDescriptor* table, oid_t oid, nat4 rows) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed) hashInsert(this, fd, oid, rows);
  for (dbFieldDescriptor* fd = table->treeIndexedFields; fd != nullptr; fd = fd->nextTreeIndexed) {
    treeInsert(this, fd, oid);
  }
}

void dbDatabase::removeFromIndices(dbTableDescriptor* table, oid_t oid, bool changedOnly) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed) {
    if (!changedOnly || changed(fd)) {
      dbHashTable::remove(this, fd->hashIndex, oid, fd->storedType, fd->storedSize, fd->storedOffset);
    }
  }
  for (dbFieldDescriptor* fd = table->treeIndexedFields; fd != nullptr; fd = fd->nextTreeIndexed) {
    if (!changedOnly || changed(fd)) {
      dbTtree::remove(this, fd->treeIndex, oid, fd->storedType, fd->storedSize, fd->compare, fd->storedOffset);
    }
  }
}

void dbDatabase::insertIntoChangedIndices(dbTableDescriptor* table, oid_t oid) {
  // An update never grows a hash table: growth is for new rows.
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed) {
    if (changed(fd)) hashInsert(this, fd, oid, 0);
  }
  for (dbFieldDescriptor* fd = table->treeIndexedFields; fd != nullptr; fd = fd->nextTreeIndexed) {
    if (changed(fd)) treeInsert(this, fd, oid);
  }
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
    fd->layoutFlags &= ~dbFieldDescriptor::ChangedByUpdate;
  }
}

bool dbDatabase::updateIndices(dbTableDescriptor* table, bool create) {
  nat4 nRows = dbTableOf(getRow(table->tableId))->nRows;
  // Without create (another process may use the table) an index may only be
  // added to a table created in this very transaction, and none dropped.
  bool mayCreate = create || !isCommitted(table->tableId);
  bool created = false, forgotten = false;
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
    if (fd->storedType == tpStructure) continue;
    // The mark is per index: a field may have one index already and get the
    // other, and only the new one is filled.
    struct {
      nat4 flag;
      nat4 newMark;
      oid_t& index;
    } kinds[] = {{HASHED, dbFieldDescriptor::NewHashIndex, fd->hashIndex},
                 {INDEXED, dbFieldDescriptor::NewTreeIndex, fd->treeIndex}};
    for (auto& kind : kinds) {
      if (fd->indexFlags & kind.flag) {
        if (kind.index != 0) continue;
        if (!mayCreate) return false;
        kind.index = kind.flag == HASHED ? dbHashTable::create(this, nRows) : dbTtree::create(this);
        fd->indexFlags |= kind.newMark;
        created = true;
      } else if (kind.index != 0) {
        if (!create) return false;
        kind.index = 0;  // dropped below, with the stored entry that names it
        forgotten = true;
      }
    }
  }
  if (created) {
    setDirty();
    for (oid_t row = dbTableOf(getRow(table->tableId))->firstRow; row != 0;
         row = reinterpret_cast<dbRecord*>(getRow(row))->next) {
      for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed) {
        if (fd->indexFlags & dbFieldDescriptor::NewHashIndex) hashInsert(this, fd, row, 2 * nRows);
      }
      for (dbFieldDescriptor* fd = table->treeIndexedFields; fd != nullptr; fd = fd->nextTreeIndexed) {
        if (fd->indexFlags & dbFieldDescriptor::NewTreeIndex) treeInsert(this, fd, row);
      }
    }
    for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
      fd->indexFlags &= ~(dbFieldDescriptor::NewHashIndex | dbFieldDescriptor::NewTreeIndex);
    }
  }
  if (!created && !forgotten) return true;

  putRow(table->tableId);
  nat4 i = 0;
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable, i++) {
    // Dropping may move the file: the entry is looked up anew each time.
    dbField entry = dbFieldsOf(getRow(table->tableId))[i];
    if (entry.hashTable != fd->hashIndex) {
      if (entry.hashTable != 0) {
        dbCheck(fd->hashIndex == 0);
        dropIndices(entry.hashTable, 0);
      }
      dbFieldsOf(getRow(table->tableId))[i].hashTable = fd->hashIndex;
    }
    if (entry.tTree != fd->treeIndex) {
      if (entry.tTree != 0) {
        dbCheck(fd->treeIndex == 0);
        dropIndices(0, entry.tTree);
      }
      dbFieldsOf(getRow(table->tableId))[i].tTree = fd->treeIndex;
    }
  }
  setDirty();
  return true;
}

void dbDatabase::dropIndices(oid_t hashTable, oid_t tTree) {
  if (hashTable != 0) dbHashTable::drop(this, hashTable);
  if (tTree != 0) dbTtree::drop(this, tTree);
}
