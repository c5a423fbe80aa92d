// dbReference<T>: a member holding the object identifier of a record of T's
// table, 0 for none. Stored as the 4-byte identifier itself.
#pragma once

#include "engine/types.h"

template <class T>
class dbReference {
 public:
  dbReference() = default;
  explicit dbReference(oid_t oid) : oid(oid) {}

  oid_t getOid() const { return oid; }
  bool isNull() const { return oid == 0; }
  bool operator==(const dbReference& other) const = default;

 private:
  oid_t oid = 0;
};
