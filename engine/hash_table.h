// The hash index: a chained hash table of record identifiers. Every item
// keeps its key's hash code, so that most mismatches are rejected, and the
// table rehashed, without reading any record.
//
// Stored objects: the header (marker 4: size = buckets addressed, 2^k - 1, at
// least 16383 and never a multiple of 31, so that integer keys spread; used, the fill counter; page, the first bucket page), the
// bucket pages (marker 1, 1024 entries each, consecutive identifiers) and the
// items (marker 5: next, record, hash).
#pragma once

#include "engine/ttree.h"

struct dbHashTableHeader {
  nat4 size;   // buckets addressed: a key's bucket is its hash mod size
  // Fill counter that drives growth. A bucket becoming non-empty adds 1 to
  // the header as it stands and 1 more to its private copy (so a header still
  // shared with the committed state gains 1 there, in place); a bucket
  // emptied takes 1 from the header as it stands; growth sets it to the
  // number of non-empty buckets.
  nat4 used;
  oid_t page;  // first of the (size + 1) / 1024 bucket pages
};
static_assert(sizeof(dbHashTableHeader) == 12, "a hash-table header is 12 bytes");

struct dbHashTableItem {
  oid_t next;  // next item of the bucket, 0 at the end
  oid_t record;
  nat4 hash;   // hash code of the record's key
};
static_assert(sizeof(dbHashTableItem) == 12, "a hash item is 12 bytes");

class dbHashTable {
 public:
  // h = h * 31 + byte over the key's bytes.
  static nat4 hashCode(const byte* key, size_t keyLength);
  enum { initialSize = 16383 };

  static oid_t create(dbDatabase* db, nat4 expectedRows);
  // rows is the growth limit (the table's row count); 0 forbids growth. The
  // table grows first (doubling, twice when once would give a multiple of 31)
  // when size < rows and either size < 2 * used / 3 or size < rows / 4.
  static void insert(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs, nat4 rows);
  // The record must be in the table under its current key.
  static void remove(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs);
  static void drop(dbDatabase* db, oid_t hashId);
  // Hands every record whose key equals the range's firstKey to its cursor.
  // Returns false when the cursor stopped the search.
  static bool find(dbDatabase* db, oid_t hashId, dbKeyRange& range);
};
