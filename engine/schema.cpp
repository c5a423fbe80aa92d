// The stored table definitions: the metatable (identifier 1) and its rows,
// one table record per table.
#include <cstring>

#include "engine/database.h"

namespace {

// Field entry of a table record: three texts (length, offset from the entry)
// and five words.
struct dbFieldEntry {
  nat4 nameSize, nameOffs;
  nat4 tableNameSize, tableNameOffs;
  nat4 inverseSize, inverseOffs;
  nat4 type, offset, size;
  oid_t hashTable, tTree;
};
static_assert(sizeof(dbFieldEntry) == 44, "a field entry is 44 bytes");

struct dbMetaField {
  const char* path;
  nat4 type, size, offset;
};

// The metatable describes table records themselves.
constexpr dbMetaField metaFields[] = {
    {"name", 7, 8, 12},           {"fields", 9, 8, 20},           {"fields[]", 19, 44, 0},
    {"fields[].name", 7, 8, 0},   {"fields[].tableName", 7, 8, 8}, {"fields[].inverse", 7, 8, 16},
    {"fields[].type", 3, 4, 24},  {"fields[].offset", 3, 4, 28},  {"fields[].size", 3, 4, 32},
    {"fields[].hashTable", 8, 4, 36}, {"fields[].tTree", 8, 4, 40}, {"fixedSize", 3, 4, 28},
    {"nRows", 3, 4, 32},          {"nColumns", 3, 4, 36},         {"firstRow", 8, 4, 40},
    {"lastRow", 8, 4, 44},
};
constexpr nat4 metaFieldCount = sizeof(metaFields) / sizeof(metaFields[0]);
constexpr char metaTableName[] = "Metatable";

}  // namespace

void dbDatabase::initializeMetatable() {
  nat4 fixed = 48 + 44 * metaFieldCount;  // 752
  nat4 texts = sizeof(metaTableName);
  for (const dbMetaField& f : metaFields) texts += strlen(f.path) + 3;
  nat4 size = fixed + texts;
  offs_t pos = allocate(size);
  currentIndex[dbMetaTableId] = pos;
  byte* rec = baseAddress + pos;
  memset(rec, 0, size);
  nat4* w = reinterpret_cast<nat4*>(rec);
  w[0] = size;
  w[3] = sizeof(metaTableName);  // name
  w[4] = fixed;
  w[5] = metaFieldCount;  // fields
  w[6] = 48;
  w[7] = 48;  // fixedSize
  w[9] = 5;   // nColumns
  memcpy(rec + fixed, metaTableName, sizeof(metaTableName));
  nat4 text = fixed + sizeof(metaTableName);
  for (nat4 i = 0; i < metaFieldCount; i++) {
    nat4 entryOffs = 48 + 44 * i;
    auto* e = reinterpret_cast<dbFieldEntry*>(rec + entryOffs);
    nat4 pathSize = strlen(metaFields[i].path) + 1;
    memcpy(rec + text, metaFields[i].path, pathSize);
    e->nameSize = pathSize;
    e->nameOffs = text - entryOffs;
    text += pathSize;
    e->tableNameSize = 1;
    e->tableNameOffs = text++ - entryOffs;
    e->inverseSize = 1;
    e->inverseOffs = text++ - entryOffs;
    e->type = metaFields[i].type;
    e->offset = metaFields[i].offset;
    e->size = metaFields[i].size;
  }
}

bool dbDatabase::loadSchema(bool create) {
  (void)create;  // used once table descriptors are bound here
  bool writable = accessMode == accessReadWrite || accessMode == accessConcurrentUpdate;
  if (!beginTransaction(writable ? dbExclusiveLock : dbSharedLock)) return false;
  commit();
  return true;
}
