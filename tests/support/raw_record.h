// Records made through the object interface alone, for tests below the
// level of tables: a zeroed record of the given size with its size word set.
#pragma once

#include <cstring>

#include "engine/database.h"

inline oid_t newRawRecord(dbDatabase& db, nat4 size) {
  oid_t oid = db.allocateId();
  offs_t pos = db.allocate(size);
  db.getCurrentIndex()[oid] = pos;
  byte* rec = db.getBaseAddress() + pos;
  memset(rec, 0, size);
  reinterpret_cast<dbRecord*>(rec)->size = size;
  return oid;
}
