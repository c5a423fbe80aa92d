// A small database with one indexed table, for the integrity checker's tests
// and for the tests and fuzzing of opening damaged files.
#pragma once

#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/describe.h"

namespace sample {

// "Item": a hash and a T-tree on name, a T-tree on n and a hash on w.
struct Item {
  char const* name;
  int4 n;
  real8 w;
  int4 plain;
  TYPE_DESCRIPTOR((KEY(name, HASHED | INDEXED), KEY(n, INDEXED), KEY(w, HASHED), FIELD(plain)));
};

inline dbTableDescriptor* declareItem() {
  return new dbTableDescriptor("Item", nullptr, sizeof(Item), &Item::dbDescribeComponents<Item>);
}

// Writes rows items with distinct keys, removes every seventh (so the free
// identifier list is not empty) and closes the file cleanly.
inline bool build(const char* name, const char* file, int rows) {
  dbTableDescriptor* table = declareItem();
  dbDatabase db;
  bool ok = db.open(name, file);
  if (ok) {
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    std::vector<oid_t> oids;
    for (int i = 0; i < rows; i++) {
      std::string text = "item " + std::to_string((i * 7919) % rows);
      Item item{text.c_str(), (i * 104729) % rows, i * 0.5, i};
      oids.push_back(db.insertRecord(table, &item));
    }
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    for (size_t i = 3; i < oids.size(); i += 7) db.removeRecord(table, oids[i]);
    db.commit();
    db.close();
  }
  delete table;
  return ok;
}

}  // namespace sample
