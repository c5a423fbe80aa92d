// Raw records for the index tests: a 12-byte header followed by one key at
// offset 12, an int4 or a string slot [length with NUL][text offset] with the
// text after it. The database is open and the caller holds the exclusive lock.
#pragma once

#include <cstring>
#include <string>

#include "engine/database.h"
#include "engine/field_descriptor.h"
#include "tests/support/raw_record.h"

constexpr int keyOffset = 12;

inline oid_t intRecord(dbDatabase& db, int4 key) {
  oid_t oid = newRawRecord(db, keyOffset + 4);
  memcpy(db.getRow(oid) + keyOffset, &key, 4);
  return oid;
}

inline int4 intKey(dbDatabase& db, oid_t oid) {
  int4 key;
  memcpy(&key, db.getRow(oid) + keyOffset, 4);
  return key;
}

inline void setIntKey(dbDatabase& db, oid_t oid, int4 key) { memcpy(db.putRow(oid) + keyOffset, &key, 4); }

inline oid_t stringRecord(dbDatabase& db, const std::string& text) {
  nat4 slot[2] = {static_cast<nat4>(text.size() + 1), keyOffset + 8};
  oid_t oid = newRawRecord(db, keyOffset + 8 + slot[0]);
  byte* rec = db.getRow(oid);
  memcpy(rec + keyOffset, slot, 8);
  memcpy(rec + slot[1], text.c_str(), slot[0]);
  return oid;
}

inline std::string stringKey(dbDatabase& db, oid_t oid) {
  nat4 textOffset;
  byte* rec = db.getRow(oid);
  memcpy(&textOffset, rec + keyOffset + 4, 4);
  return reinterpret_cast<const char*>(rec + textOffset);
}

inline int compareBytes(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }
