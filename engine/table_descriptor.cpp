#include "engine/table_descriptor.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/exception.h"
#include "engine/method_trampoline.h"
#include "engine/symbol_table.h"

dbTableDescriptor* dbTableDescriptor::chain = nullptr;

static const nat4 anyIndex = HASHED | INDEXED;

// Size and alignment that the data members of ring take in the object, laid
// out in the order of their offsets, as the compiler lays out the class. The
// description order may differ from the object order, and padding then sits
// elsewhere, so only this order gives the class size back when every member
// is described.
static size_t objectExtent(const dbFieldDescriptor* ring, size_t& align) {
  std::vector<const dbFieldDescriptor*> members;
  for (const dbFieldDescriptor* fd = ring; fd != nullptr; fd = fd->nextDataMember(ring)) members.push_back(fd);
  std::stable_sort(members.begin(), members.end(),
                   [](const dbFieldDescriptor* a, const dbFieldDescriptor* b) { return a->memberOffset < b->memberOffset; });
  size_t size = 0;
  align = 1;
  for (const dbFieldDescriptor* fd : members) {
    size_t memberSize, memberAlign;
    switch (fd->memberType) {
      case tpString:
        memberSize = memberAlign = sizeof(const char*);
        break;
      case tpArray:
        memberSize = sizeof(dbAnyArray);
        memberAlign = alignof(dbAnyArray);
        break;
      case tpStructure:
        memberSize = objectExtent(fd->parts, memberAlign);
        break;
      case tpRawBinary:
        memberSize = fd->memberSize;
        memberAlign = fd->alignment;
        break;
      default:  // scalars and references are aligned to their size
        memberSize = memberAlign = fd->memberSize;
    }
    size = dbAlign(size, memberAlign) + memberSize;
    align = std::max(align, memberAlign);
  }
  return dbAlign(size, align);
}

dbTableDescriptor::dbTableDescriptor(const char* tableName, dbDatabase* database, size_t classSize,
                                     dbDescribeFunc describe, dbTableDescriptor* cloneOf)
    : name(tableName),
      columns(nullptr),
      nextFieldLink(&firstField),
      database(database),
      fixedDatabase(database != nullptr),
      cloneOf(cloneOf),
      describe(describe) {
  dbSymbolTable::add(name, 0, false);
  columns = describe();
  dbCheck(columns != nullptr);
  try {
    nat4 flags = dbFieldDescriptor::OneToOneLayout;
    layoutFields(columns, std::string(), 12, anyIndex, flags);
  } catch (...) {
    dbFieldDescriptor::destroyRing(columns);
    throw;
  }
  *nextFieldLink = nullptr;
  size_t align;
  objectSize = objectExtent(columns, align);
  if (objectSize < classSize) {
    fprintf(stderr, "Warning: may be not all fields of the class '%s' were described\n", name);
  }
  if (cloneOf == nullptr) link();
}

dbTableDescriptor::~dbTableDescriptor() {
  if (cloneOf == nullptr) unlink();
  dbFieldDescriptor::destroyRing(columns);
}

void dbTableDescriptor::link() {
  nextTable = chain;
  chain = this;
}

void dbTableDescriptor::unlink() {
  for (dbTableDescriptor** tp = &chain; *tp != nullptr; tp = &(*tp)->nextTable) {
    if (*tp == this) {
      *tp = nextTable;
      return;
    }
  }
}

dbTableDescriptor* dbTableDescriptor::clone() {
  return new dbTableDescriptor(name, everyDatabase(), objectSize, describe, this);
}

nat4 dbTableDescriptor::layoutFields(dbFieldDescriptor* ring, const std::string& prefix, nat4 base, nat4 indexMask,
                                     nat4& flags) {
  using fd_t = dbFieldDescriptor;
  nat4 maxAlign = 1;
  fd_t* fd = ring;
  do {
    if (fd->isMethod()) {
      layoutMethods(ring, fd, prefix, flags);
      break;
    }
    if (prefix.empty()) {
      fd->path = fd->name;
      columnCount += 1;
    } else {
      fd->path = prefix + fd->name;
    }
    fd->ownerTable = this;
    fd->indexFlags &= indexMask | ~anyIndex;
    fd->layoutFlags = (flags & fd_t::ElementOfArray) | fd_t::OneToOneLayout;
    if (fd->inverseName != nullptr) {
      dbCheck(!(flags & fd_t::ElementOfArray));
      dbCheck(fd->memberType == tpReference || (fd->memberType == tpArray && fd->parts->memberType == tpReference));
      fd->nextInverse = inverseFields;
      inverseFields = fd;
    }
    *nextFieldLink = fd;
    nextFieldLink = &fd->nextInTable;
    fd->fieldNumber = static_cast<int>(fieldCount++);

    switch (fd->memberType) {
      case tpString:
        flags = (flags & ~fd_t::OneToOneLayout) | fd_t::HasVaryingParts;
        break;
      case tpArray: {
        // Elements are laid out as records of their own, from offset 0.
        size_t fixedSize = storedFixedSize;
        storedFixedSize = 0;
        flags = (flags & ~fd_t::OneToOneLayout) | fd_t::HasVaryingParts;
        fd->layoutFlags |= fd_t::ElementOfArray;
        layoutFields(fd->parts, fd->path, 0, 0, fd->layoutFlags);
        if (fd->parts->storedSize != fd->parts->memberSize) fd->layoutFlags &= ~fd_t::OneToOneLayout;
        storedFixedSize = fixedSize;
        break;
      }
      case tpStructure: {
        size_t start = storedFixedSize;
        nat4 align = layoutFields(fd->parts, fd->path + ".", base + fd->memberOffset, fd->indexFlags, fd->layoutFlags);
        fd->alignment = align;
        fd->storedOffset = fd->parts->storedOffset;
        flags |= fd->layoutFlags & fd_t::HasVaryingParts;
        if (!(fd->layoutFlags & fd_t::OneToOneLayout)) flags &= ~fd_t::OneToOneLayout;
        fd->storedSize = static_cast<nat4>(dbAlign<size_t>(storedFixedSize - start, align));
        break;
      }
      default:
        break;
    }
    maxAlign = std::max(maxAlign, fd->alignment);

    if (fd->memberType != tpStructure) {
      fd->storedOffset = static_cast<nat4>(dbAlign<size_t>(storedFixedSize, fd->alignment));
      storedFixedSize = fd->storedOffset + fd->storedSize;
      if (base + fd->memberOffset != fd->storedOffset) flags &= ~fd_t::OneToOneLayout;
      if (fd->indexFlags & anyIndex) {
        dbCheck(!(fd->layoutFlags & fd_t::ElementOfArray));
        if (fd->indexFlags & HASHED) {
          fd->nextHashed = hashedFields;
          hashedFields = fd;
        }
        if (fd->indexFlags & INDEXED) {
          fd->nextTreeIndexed = treeIndexedFields;
          treeIndexedFields = fd;
        }
      }
    }
    fd = fd->next;
  } while (fd != ring);
  return maxAlign;
}

void dbTableDescriptor::layoutMethods(dbFieldDescriptor* ring, dbFieldDescriptor* first, const std::string& prefix,
                                      nat4 flags) {
  dbCheck(first != ring);
  dbFieldDescriptor* fd = first;
  do {
    dbCheck(fd->isMethod());
    fd->path = prefix + fd->name;
    fd->storedOffset = ring->storedOffset;
    fd->parts = ring;
    if (flags & dbFieldDescriptor::OneToOneLayout) fd->accessor = fd->accessor->makeDirect();
    fd = fd->next;
  } while (fd != ring);
}
