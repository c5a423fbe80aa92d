// How the T-tree and the hash index read a record's key for one field and
// compare two keys. Keys are never copied: they are read in place from the
// stored record, which stays valid only until the next allocation.
#pragma once

#include <cstring>

#include "engine/field_descriptor.h"
#include "engine/types.h"

class dbDatabase;
class dbAnyCursor;
class dbExprNode;

// The key of a stored record: for a string the text that the slot's offset
// word names (the slot is [length with NUL][offset from record start]); for
// every other type the bytes at the field's stored offset.
inline const byte* dbKeyOf(const byte* record, int type, int offs) {
  if (type == tpString) {
    nat4 textOffset;
    memcpy(&textOffset, record + offs + 4, 4);
    return record + textOffset;
  }
  return record + offs;
}

// Negative, 0 or positive as key a sorts before, with or after key b. Reals
// that are not numbers sort first and equal each other; an unknown type
// fails the internal consistency check.
int dbCompareKeys(int type, const void* a, const void* b, size_t size, dbMemberCompare comparator);

// Gives the record to the cursor when there is no condition or the record
// satisfies it; false when the cursor's add asks to stop.
bool dbHandToCursor(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, oid_t record);
