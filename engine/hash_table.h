// The hash index: a chained hash table of record identifiers. Every item
// keeps its key's hash code, so that most mismatches are rejected, and the
// table rehashed, without reading any record.
//
// Stored objects: the header (marker 4: size = buckets addressed, 2^k - 1 and
// at least 16383; used, the fill counter; page, the first bucket page), the
// bucket pages (marker 1, 1024 entries each, consecutive identifiers) and the
// items (marker 5: next, record, hash).
#pragma once

#include "engine/ttree.h"

class dbHashTable {
 public:
  // h = h * 31 + byte over the key's bytes.
  static nat4 hashCode(const byte* key, size_t keyLength);

  static oid_t create(dbDatabase* db, nat4 expectedRows);
  // rows is the growth limit (the table's row count); 0 forbids growth.
  static void insert(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs, nat4 rows);
  // The record must be in the table under its current key.
  static void remove(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs);
  static void drop(dbDatabase* db, oid_t hashId);
  // Hands every record whose key equals the range's firstKey to its cursor.
  // Returns false when the cursor stopped the search.
  static bool find(dbDatabase* db, oid_t hashId, dbKeyRange& range);
};
