// Interim index upkeep: until the T-tree and hash indices land, a table that
// declares an index is refused rather than left with indices that do not
// follow its rows. The index implementation replaces this file whole.
#include "engine/database.h"
#include "engine/table_descriptor.h"

static bool hasIndices(const dbTableDescriptor* table) {
  return table->hashedFields != nullptr || table->treeIndexedFields != nullptr;
}

void dbDatabase::insertIntoIndices(dbTableDescriptor* table, oid_t, nat4) { dbCheck(!hasIndices(table)); }

void dbDatabase::removeFromIndices(dbTableDescriptor* table, oid_t, bool) { dbCheck(!hasIndices(table)); }

void dbDatabase::insertIntoChangedIndices(dbTableDescriptor* table, oid_t) { dbCheck(!hasIndices(table)); }

bool dbDatabase::updateIndices(dbTableDescriptor* table, bool) {
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
    if (fd->hashIndex != 0 || fd->treeIndex != 0 || (fd->indexFlags & (HASHED | INDEXED))) return false;
  }
  return true;
}

void dbDatabase::dropIndices(oid_t hashTable, oid_t tTree) { dbCheck(hashTable == 0 && tTree == 0); }
