#include "engine/field_descriptor.h"

#include <cstring>

#include "engine/exception.h"
#include "engine/method_trampoline.h"
#include "engine/symbol_table.h"

static int compareBytes(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }

static const char* intern(const char* name) {
  if (name != nullptr) dbSymbolTable::add(name, 0, false);
  return name;
}

dbFieldDescriptor::dbFieldDescriptor(const char* name, size_t offset, size_t size, nat4 indexFlags,
                                     const char* inverseName, dbFieldDescriptor* parts)
    : name(intern(name)),
      inverseName(intern(inverseName)),
      indexFlags(indexFlags),
      memberOffset(static_cast<nat4>(offset)),
      parts(parts),
      storedSize(static_cast<nat4>(size)),
      memberSize(static_cast<nat4>(size)),
      alignment(static_cast<nat4>(size)),
      compare(compareBytes) {}

dbFieldDescriptor::dbFieldDescriptor(const char* name)
    : name(intern(name)), compare(compareBytes), layoutFlags(OneToOneLayout) {}

dbFieldDescriptor::~dbFieldDescriptor() { delete accessor; }

void dbFieldDescriptor::setScalar(dbFieldType type) { storedType = memberType = type; }

void dbFieldDescriptor::setString() {
  storedType = memberType = tpString;
  storedSize = 8;
  alignment = 4;
  parts = new dbFieldDescriptor("[]");
  parts->setScalar(tpInt1);
  parts->storedSize = parts->memberSize = parts->alignment = 1;
}

void dbFieldDescriptor::setReference(dbTableDescriptor* target) {
  storedType = memberType = tpReference;
  targetTable = target;
  storedSize = 4;
  alignment = 4;
}

void dbFieldDescriptor::setArray(dbFieldDescriptor* element, dbArrayResize resize) {
  storedType = memberType = tpArray;
  storedSize = 8;
  alignment = 4;
  arrayResize = resize;
  parts = element;
}

void dbFieldDescriptor::setStructure(dbFieldDescriptor* members) {
  storedType = memberType = tpStructure;
  parts = members;
}

void dbFieldDescriptor::setRawBinary(size_t align) {
  storedType = memberType = tpRawBinary;
  alignment = static_cast<nat4>(align);
}

void dbFieldDescriptor::setMethod(void (*applyResult)(dbFieldDescriptor*),
                                  dbAnyMethodTrampoline* (*makeAccessor)(dbFieldDescriptor*)) {
  applyResult(this);
  dbCheck(memberType <= tpReference);
  storedType += tpMethodBool;
  memberType += tpMethodBool;
  accessor = makeAccessor(this);
}

dbFieldDescriptor* dbFieldDescriptor::join(dbFieldDescriptor* a, dbFieldDescriptor* b) {
  if (a == nullptr) return b;
  if (b == nullptr) return a;
  dbFieldDescriptor* aLast = a->prev;
  dbFieldDescriptor* bLast = b->prev;
  aLast->next = b;
  b->prev = aLast;
  bLast->next = a;
  a->prev = bLast;
  return a;
}

void dbFieldDescriptor::destroyRing(dbFieldDescriptor* ring) {
  if (ring == nullptr) return;
  dbFieldDescriptor* fd = ring;
  do {
    dbFieldDescriptor* following = fd->next;
    // A method member's parts is the enclosing ring, which it does not own.
    if (!fd->isMethod()) destroyRing(fd->parts);
    delete fd;
    fd = following;
  } while (fd != ring);
}

dbFieldDescriptor* dbFieldDescriptor::describeRing(std::initializer_list<dbMemberSpec> members) {
  dbFieldDescriptor* ring = nullptr;
  for (const dbMemberSpec& m : members) {
    dbFieldDescriptor* fd = new dbFieldDescriptor(m.name, m.offset, m.size, m.indexFlags, m.inverseName);
    try {
      m.apply(fd);
    } catch (...) {
      destroyRing(fd);
      destroyRing(ring);
      throw;
    }
    ring = join(ring, fd);
  }
  return ring;
}

dbFieldDescriptor* dbFieldDescriptor::describeElement(size_t size, void (*apply)(dbFieldDescriptor*)) {
  dbFieldDescriptor* element = new dbFieldDescriptor("[]");
  element->storedSize = element->memberSize = element->alignment = static_cast<nat4>(size);
  try {
    apply(element);
  } catch (...) {
    destroyRing(element);
    throw;
  }
  return element;
}

dbFieldDescriptor* dbFieldDescriptor::findSymbol(const char* symbol) {
  dbFieldDescriptor* fd = this;
  do {
    if (fd->name == symbol) return fd;
    fd = fd->next;
  } while (fd != this);
  return nullptr;
}
