#include "engine/query/query.h"

// ---- Element pool

dbQueryElementAllocator& dbQueryElementAllocator::instance() {
  static dbQueryElementAllocator pool;
  return pool;
}

dbQueryElement* dbQueryElementAllocator::allocate() {
  dbCriticalSection cs(mutex);
  dbQueryElement* e = freeList;
  if (e == nullptr) return static_cast<dbQueryElement*>(::operator new(sizeof(dbQueryElement)));
  freeList = e->next;
  return e;
}

void dbQueryElementAllocator::deallocate(dbQueryElement* first, dbQueryElement** lastNext) {
  if (first == nullptr) return;
  dbCriticalSection cs(mutex);
  *lastNext = freeList;
  freeList = first;
}

dbQueryElementAllocator::~dbQueryElementAllocator() {
  while (dbQueryElement* e = freeList) {
    freeList = e->next;
    ::operator delete(e);
  }
}

void* dbQueryElement::operator new(size_t) { return dbQueryElementAllocator::instance().allocate(); }

void dbQueryElement::operator delete(void* p) {
  auto* e = static_cast<dbQueryElement*>(p);
  dbQueryElementAllocator::instance().deallocate(e, &e->next);
}

// ---- Compiled part

void dbCompiledQuery::destroy() {
  // Each node returns to the pool under the pool's own mutex.
  if (tree != nullptr && dbExprNodeAllocator::alive()) {
    delete tree;
    while (dbOrderByNode* o = order) {
      order = o->next;
      delete o;
    }
    while (dbFollowByNode* f = follow) {
      follow = f->next;
      delete f;
    }
  }
  tree = nullptr;
  order = nullptr;
  follow = nullptr;
  table = nullptr;
  startFrom = StartFromAny;
  startFromPtr = nullptr;
}

// ---- Query

dbQueryElement* dbQuery::append(nat1 kind, const void* ptr, dbTableDescriptor* refTable) {
  auto* e = new dbQueryElement;
  e->next = nullptr;
  e->ptr = ptr;
  e->kind = kind;
  e->refTable = refTable;
  *nextElement = e;
  nextElement = &e->next;
  return e;
}

dbQuery& dbQuery::add(dbRawParameter raw) {
  append(qRawBinary, raw.data);
  return *this;
}

void dbQuery::reset() {
  dbQueryElementAllocator::instance().deallocate(elements, nextElement);
  elements = nullptr;
  nextElement = &elements;
  destroy();
}
