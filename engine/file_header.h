// Layout of the database file's header and of object-index entries, and the
// constants of the file format. Every field is a little-endian 32-bit word.
#pragma once

#include "engine/types.h"

// Object identifiers.
constexpr oid_t dbNullOid = 0;
constexpr oid_t dbMetaTableId = 1;  // the metatable record
constexpr oid_t dbBitmapId = 2;     // 2 + k is the k-th bitmap page
constexpr nat4 dbBitmapPages = 8192;
constexpr oid_t dbFirstUserId = dbBitmapId + dbBitmapPages;  // 8194

// Sizes of the file format.
constexpr nat4 dbPageSize = 4096;
constexpr nat4 dbAllocationQuantum = 16;
constexpr nat4 dbHandlesPerPage = 1024;  // a group of index entries tracked by one dirty bit
constexpr nat4 dbBitmapBytesPerPage = dbPageSize;
constexpr nat4 dbQuantaPerBitmapPage = dbPageSize * 8;                              // 32768
constexpr nat4 dbBytesPerBitmapPage = dbQuantaPerBitmapPage * dbAllocationQuantum;  // 524288
constexpr nat4 dbDirtyIndexBitmapBytes = 524288;

// An index entry is either free (bit 31 set, low bits: next free identifier)
// or the object's 16-byte aligned offset plus a kind marker in the low 3 bits.
constexpr nat4 dbFreeHandleMarker = 0x80000000u;
constexpr nat4 dbFlagsMask = 7;
enum dbObjectMarker : nat4 {
  dbRecordMarker = 0,         // size in the record's first word
  dbPageObjectMarker = 1,     // 4096 bytes
  dbTtreeMarker = 2,          // 4 bytes
  dbTtreeNodeMarker = 3,      // 512 bytes
  dbHashTableMarker = 4,      // 12 bytes
  dbHashTableItemMarker = 5,  // 12 bytes
};
// Size in bytes of the index objects of each marker (0: taken from the record).
constexpr nat4 dbObjectSizeOfMarker[8] = {0, dbPageSize, 4, 512, 12, 12, 0, 0};

inline bool dbIsFreeEntry(nat4 entry) { return (entry & dbFreeHandleMarker) != 0; }

struct dbFileHeader {
  struct Root {
    offs_t indexOffset;        // this root's object-index array
    offs_t shadowIndexOffset;  // the other array
    nat4 indexSize;            // entries in this root's array
    nat4 shadowIndexSize;      // entries in the other array
    nat4 indexUsed;            // next identifier never handed out
    oid_t freeIdList;          // head of the freed identifiers, 0 when empty
  };

  nat4 fileSize;     // size of the file as last set by the engine
  nat4 currentRoot;  // the root (0 or 1) holding the last committed state
  nat4 dirty;        // 1 from the first change until a clean close
  nat4 initialized;  // 1 once the file has been initialised
  Root root[2];
  nat4 majorVersion;
  nat4 minorVersion;
};
static_assert(sizeof(dbFileHeader) == 72, "the file header is 72 bytes");
static_assert(sizeof(dbFileHeader::Root) == 24, "a root is 24 bytes");

constexpr nat4 dbMajorVersion = 2;
constexpr nat4 dbMinorVersion = 86;
constexpr nat4 dbIndexArrayOffset = 4096;  // the first index array follows the header page

// Header of every stored record (table rows, table records, the metatable).
struct dbRecord {
  nat4 size;   // whole record, header included
  oid_t next;  // next row of the same table, 0 for the last
  oid_t prev;  // previous row, 0 for the first
};
static_assert(sizeof(dbRecord) == 12, "the record header is 12 bytes");
