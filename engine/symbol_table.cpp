#include "engine/symbol_table.h"

#include <cstdlib>
#include <cstring>

dbSymbolTable::dbSymbolTable() : buckets{} {}

dbSymbolTable::~dbSymbolTable() {
  for (Entry*& head : buckets) {
    while (Entry* e = head) {
      head = e->next;
      if (e->ownsName) free(const_cast<char*>(e->name));
      delete e;
    }
  }
}

dbSymbolTable& dbSymbolTable::instance() {
  static dbSymbolTable table;
  return table;
}

nat4 dbSymbolTable::hash(const char* name) {
  nat4 h = 0;
  for (const byte* p = reinterpret_cast<const byte*>(name); *p != 0; p++) h = h * 31 + *p;
  return h;
}

int dbSymbolTable::add(const char*& name, int defaultCode, bool copy) {
  dbSymbolTable& table = instance();
  nat4 h = hash(name);
  Entry*& head = table.buckets[h % hashTableSize];
  dbCriticalSection cs(table.mutex);
  for (Entry* e = head; e != nullptr; e = e->next) {
    if (e->hash == h && strcmp(e->name, name) == 0) {
      name = e->name;
      return e->code;
    }
  }
  if (copy) name = strdup(name);
  head = new Entry{head, name, h, defaultCode, copy};
  return defaultCode;
}

const dbSymbolTable::Entry* dbSymbolTable::bucket(nat4 i) {
  dbSymbolTable& table = instance();
  dbCriticalSection cs(table.mutex);
  return i < hashTableSize ? table.buckets[i] : nullptr;
}
