// dbSymbolTable: the one program-wide table of interned names. Member names,
// table names, query identifiers and keywords all go through it, so equal
// names are the same pointer and lookups compare pointers, not texts.
#pragma once

#include "engine/sync.h"
#include "engine/types.h"

class dbSymbolTable {
 public:
  static constexpr nat4 hashTableSize = 1009;

  struct Entry {
    Entry* next;
    const char* name;
    nat4 hash;
    int code;       // token code of a keyword, or the default code it was added with
    bool ownsName;  // name is the table's own copy
  };

  // Interns name. When an equal name is already present, name is replaced by
  // the interned pointer and that entry's code is returned. Otherwise a new
  // entry holding name (or, with copy, the table's own copy of it, which then
  // replaces name) is put at the head of its bucket and defaultCode is returned.
  static int add(const char*& name, int defaultCode, bool copy = true);

  // h = h * 31 + byte over the unsigned bytes of name, in 32-bit arithmetic.
  static nat4 hash(const char* name);
  static nat4 bucketOf(const char* name) { return hash(name) % hashTableSize; }

  // Head of one bucket's chain, most recent entry first. For inspection;
  // entries are never removed while the program runs.
  static const Entry* bucket(nat4 i);

 private:
  dbSymbolTable();
  ~dbSymbolTable();
  dbSymbolTable(const dbSymbolTable&) = delete;
  dbSymbolTable& operator=(const dbSymbolTable&) = delete;

  // Created on first use, so that descriptors built during static
  // initialisation of any unit find it ready.
  static dbSymbolTable& instance();

  dbMutex mutex;
  Entry* buckets[hashTableSize];
};
