// The hash index: creation, insertion with growth by doubling, removal,
// dropping and the equality search.
//
// Bucket b lives in entry b % 1024 of page `page` + b / 1024. Any put,
// allocation or free may move the mapping, so pages and items are fetched
// again by identifier after every such call.
#include "engine/hash_table.h"

#include <cstring>

#include "engine/database.h"
#include "engine/index_key.h"

namespace {

constexpr nat4 bucketsPerPage = dbPageSize / sizeof(oid_t);  // 1024

dbHashTableHeader* headerAt(dbDatabase* db, oid_t hashId) {
  return reinterpret_cast<dbHashTableHeader*>(db->get(hashId));
}

dbHashTableItem* itemAt(dbDatabase* db, oid_t itemId) { return reinterpret_cast<dbHashTableItem*>(db->get(itemId)); }

// The entry of bucket b in the bucket pages starting at page.
oid_t* bucketAt(dbDatabase* db, oid_t page, nat4 b) {
  return reinterpret_cast<oid_t*>(db->get(page + b / bucketsPerPage)) + b % bucketsPerPage;
}

// The bucket entry for writing: its page made private first.
oid_t* ownBucket(dbDatabase* db, oid_t page, nat4 b) {
  db->put(page + b / bucketsPerPage);
  return bucketAt(db, page, b);
}

// Zeroed bucket storage for size + 1 entries under new consecutive page
// identifiers; returns the first identifier.
oid_t allocateBuckets(dbDatabase* db, nat4 size) {
  nat4 nPages = (size + 1) / bucketsPerPage;
  oid_t page = db->allocateId(nPages);
  offs_t pos = db->allocate(static_cast<size_t>(size + 1) * sizeof(oid_t));
  dbCheck(pos % dbPageSize == 0);
  memset(db->getBaseAddress() + pos, 0, static_cast<size_t>(size + 1) * sizeof(oid_t));
  for (nat4 i = 0; i < nPages; i++) {
    db->getCurrentIndex()[page + i] = pos + i * dbPageSize + dbPageObjectMarker;
  }
  return page;
}

nat4 recordHash(dbDatabase* db, oid_t recordId, int type, int sizeofType, int offs) {
  const byte* record = db->getRow(recordId);
  size_t length = sizeofType;
  if (type == tpString) {
    nat4 stored;
    memcpy(&stored, record + offs, 4);
    length = stored - 1;  // without the terminator
  }
  return dbHashTable::hashCode(dbKeyOf(record, type, offs), length);
}

// The bucket count after `size` (2^k - 1): doubled, and doubled once more
// when that count is a multiple of 31. Small integer keys have hash codes
// that are all multiples of 31 (their high bytes are 0 and h = h * 31 + byte),
// so such a count would use one bucket in 31 and, the fill counter then never
// reaching its growth mark, stay that way however many rows come.
nat4 nextSize(nat4 size) {
  nat4 next = 2 * size + 1;
  return next % 31 == 0 ? 2 * next + 1 : next;
}

// Grows the bucket count to nextSize and moves every item to its bucket under
// the new size, by its stored hash; `used` becomes the count of non-empty buckets.
void grow(dbDatabase* db, oid_t hashId) {
  dbHashTableHeader* hdr = headerAt(db, hashId);
  nat4 oldSize = hdr->size;
  oid_t oldPage = hdr->page;
  nat4 newSize = nextSize(oldSize);
  oid_t newPage = allocateBuckets(db, newSize);
  db->put(hashId);
  hdr = headerAt(db, hashId);
  hdr->size = newSize;
  hdr->page = newPage;
  nat4 nonEmpty = 0;
  nat4 oldPages = (oldSize + 1) / bucketsPerPage;
  for (nat4 p = 0; p < oldPages; p++) {
    for (nat4 j = 0; j < bucketsPerPage; j++) {
      oid_t itemId = reinterpret_cast<oid_t*>(db->get(oldPage + p))[j];
      while (itemId != 0) {
        dbHashTableItem* item = itemAt(db, itemId);
        oid_t next = item->next;
        // The new storage is private to this transaction: written in place.
        oid_t* bucket = bucketAt(db, newPage, item->hash % newSize);
        oid_t head = *bucket;
        if (head == 0) nonEmpty += 1;
        if (item->next != head) {
          db->put(itemId);
          itemAt(db, itemId)->next = head;
          bucket = bucketAt(db, newPage, itemAt(db, itemId)->hash % newSize);
        }
        *bucket = itemId;
        itemId = next;
      }
    }
    db->freeObject(oldPage + p);
  }
  headerAt(db, hashId)->used = nonEmpty;
}

}  // namespace

nat4 dbHashTable::hashCode(const byte* key, size_t keyLength) {
  nat4 h = 0;
  for (size_t i = 0; i < keyLength; i++) h = h * 31 + key[i];
  return h;
}

oid_t dbHashTable::create(dbDatabase* db, nat4 expectedRows) {
  nat4 size = initialSize;
  while (size <= expectedRows) size = nextSize(size);
  oid_t hashId = db->allocateObject(dbHashTableMarker);
  oid_t page = allocateBuckets(db, size);
  dbHashTableHeader* hdr = headerAt(db, hashId);
  hdr->size = size;
  hdr->used = 0;
  hdr->page = page;
  return hashId;
}

void dbHashTable::insert(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs, nat4 rows) {
  nat4 h = recordHash(db, recordId, type, sizeofType, offs);
  dbHashTableHeader* hdr = headerAt(db, hashId);
  // The fill counter alone misses keys that share hash codes (small integers
  // have only one code for every eight keys or so): then it is the number of
  // rows per bucket that calls for more buckets.
  if (hdr->size < rows && (hdr->size < 2 * hdr->used / 3 || hdr->size < rows / 4)) grow(db, hashId);
  oid_t itemId = db->allocateObject(dbHashTableItemMarker);
  hdr = headerAt(db, hashId);
  nat4 b = h % hdr->size;
  oid_t* bucket = ownBucket(db, hdr->page, b);
  oid_t head = *bucket;
  dbHashTableItem* item = itemAt(db, itemId);
  item->next = head;
  item->record = recordId;
  item->hash = h;
  *bucket = itemId;
  if (head == 0) {
    // The counting rule of `used` (dbHashTableHeader): once as it stands,
    // once more in the private copy.
    headerAt(db, hashId)->used += 1;
    db->put(hashId);
    headerAt(db, hashId)->used += 1;
  }
}

void dbHashTable::remove(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs) {
  nat4 h = recordHash(db, recordId, type, sizeofType, offs);
  dbHashTableHeader* hdr = headerAt(db, hashId);
  nat4 b = h % hdr->size;
  oid_t page = hdr->page;
  oid_t prev = 0;
  oid_t itemId = *bucketAt(db, page, b);
  while (true) {
    dbCheck(itemId != 0);
    if (itemAt(db, itemId)->record == recordId) break;
    prev = itemId;
    itemId = itemAt(db, itemId)->next;
  }
  oid_t next = itemAt(db, itemId)->next;
  if (prev != 0) {
    db->put(prev);
    itemAt(db, prev)->next = next;
  } else {
    if (next == 0) headerAt(db, hashId)->used -= 1;  // the header as it stands
    *ownBucket(db, page, b) = next;
  }
  db->freeObject(itemId);
}

void dbHashTable::drop(dbDatabase* db, oid_t hashId) {
  dbHashTableHeader* hdr = headerAt(db, hashId);
  oid_t page = hdr->page;
  nat4 nPages = (hdr->size + 1) / bucketsPerPage;
  for (nat4 p = 0; p < nPages; p++) {
    for (nat4 j = 0; j < bucketsPerPage; j++) {
      oid_t itemId = reinterpret_cast<oid_t*>(db->get(page + p))[j];
      while (itemId != 0) {
        oid_t next = itemAt(db, itemId)->next;
        db->freeObject(itemId);
        itemId = next;
      }
    }
    db->freeObject(page + p);
  }
  db->freeObject(hashId);
}

bool dbHashTable::find(dbDatabase* db, oid_t hashId, dbKeyRange& range) {
  const dbHashTableHeader* hdr = headerAt(db, hashId);
  if (hdr->size == 0) return true;
  const byte* key = static_cast<const byte*>(range.firstKey);
  size_t length = range.type == tpString ? strlen(static_cast<const char*>(range.firstKey)) : range.keySize;
  nat4 h = hashCode(key, length);
  oid_t itemId = *bucketAt(db, hdr->page, h % hdr->size);
  while (itemId != 0) {
    range.probes += 1;
    const dbHashTableItem* item = itemAt(db, itemId);
    oid_t next = item->next;
    if (item->hash == h) {
      oid_t recordId = item->record;
      const byte* record = db->getRow(recordId);
      bool equal;
      if (range.type == tpString) {
        nat4 stored;
        memcpy(&stored, record + range.offset, 4);
        equal = stored == length + 1 && memcmp(dbKeyOf(record, tpString, range.offset), key, length) == 0;
      } else {
        equal = range.comparator(key, record + range.offset, length) == 0;
      }
      if (equal && !dbHandToCursor(db, range.cursor, range.condition, recordId)) return false;
    }
    itemId = next;
  }
  return true;
}
