// The stored definition of a table: a record of the metatable (identifier 1,
// itself a table record describing table records). Offsets are from the
// record start; texts follow the last field entry, without gaps.
#pragma once

#include "engine/file_header.h"

// A text or an array inside a record: its size (texts: bytes with the NUL;
// arrays: elements) and its offset.
struct dbVarying {
  nat4 size;
  nat4 offs;
};

struct dbTable : dbRecord {
  dbVarying name;    // offset from the record start
  dbVarying fields;  // field entries; offset always 48
  nat4 fixedSize;    // header and fixed part of the table's records
  nat4 nRows;
  nat4 nColumns;
  oid_t firstRow;
  oid_t lastRow;
};
static_assert(sizeof(dbTable) == 48, "a table record's fixed part is 48 bytes");

// One field entry, 44 bytes; its texts' offsets count from the entry.
struct dbField {
  dbVarying name;       // the field's path
  dbVarying tableName;  // the referenced table, "" when none
  dbVarying inverse;    // the inverse field, "" when none
  nat4 type;
  nat4 offset;
  nat4 size;
  oid_t hashTable;
  oid_t tTree;

  const char* getName() const { return reinterpret_cast<const char*>(this) + name.offs; }
  const char* getTableName() const { return reinterpret_cast<const char*>(this) + tableName.offs; }
  const char* getInverse() const { return reinterpret_cast<const char*>(this) + inverse.offs; }
};
static_assert(sizeof(dbField) == 44, "a field entry is 44 bytes");

inline dbTable* dbTableOf(byte* rec) { return reinterpret_cast<dbTable*>(rec); }
inline dbField* dbFieldsOf(byte* rec) { return reinterpret_cast<dbField*>(rec + dbTableOf(rec)->fields.offs); }
inline const char* dbTableName(byte* rec) { return reinterpret_cast<const char*>(rec) + dbTableOf(rec)->name.offs; }
