// dbTableDescriptor: the description of one table, built once from the
// describe function of its record class, with the stored layout of its
// records. Every static descriptor is on one program-wide list, from the one
// constructed last to the one constructed first; a database binds the listed
// tables when it opens.
//
// Layout invariants, established by the constructor:
// - the fixed part of a record starts at 12; every data member that is not a
//   structure has a slot at its storedOffset, aligned to its alignment, in
//   description order; structure members are laid out in place, depth first;
// - the elements of an array are laid out from 0, as one element record;
// - a ring lists every data member before any method member, and starts with
//   a data member; a method member's storedOffset and parts are those of the
//   first member of its ring;
// - index bits remain only on members outside arrays whose enclosing
//   structures are indexed; structures themselves are on no index list;
// - OneToOneLayout on the table's top ring means the stored bytes from 12 on
//   are an exact image of the object.
#pragma once

#include <cstddef>

#include "engine/field_descriptor.h"
#include "engine/types.h"

class dbDatabase;

class dbTableDescriptor {
 public:
  typedef dbFieldDescriptor* (*dbDescribeFunc)();

  dbTableDescriptor* nextTable = nullptr;       // the static list of tables
  dbTableDescriptor* nextInDatabase = nullptr;  // the tables bound to one database
  const char* name;                             // interned
  oid_t tableId = 0;                            // the stored definition; 0 while unbound
  dbFieldDescriptor* columns;                   // top-level members as described
  dbFieldDescriptor* hashedFields = nullptr;
  dbFieldDescriptor* treeIndexedFields = nullptr;
  dbFieldDescriptor* inverseFields = nullptr;
  dbFieldDescriptor* firstField = nullptr;  // all data members, depth first
  dbFieldDescriptor** nextFieldLink;        // where the next one is appended
  // Null while unbound; everyDatabase() for a static descriptor of which
  // every database makes its own copy.
  dbDatabase* database;
  bool fixedDatabase;  // given at construction: closing does not unbind
  size_t objectSize = 0;
  size_t storedFixedSize = 12;
  nat4 fieldCount = 0;
  nat4 columnCount = 0;
  dbTableDescriptor* cloneOf;  // for a per-database copy, the static descriptor
  dbDescribeFunc describe;

  // Describes and lays out the table. Without cloneOf the descriptor joins
  // the static list. A described object size below objectSize (the size of
  // the record class) only prints a warning. A broken layout rule throws the
  // internal consistency exception and leaves nothing behind.
  dbTableDescriptor(const char* name, dbDatabase* database, size_t objectSize, dbDescribeFunc describe,
                    dbTableDescriptor* cloneOf = nullptr);
  ~dbTableDescriptor();
  dbTableDescriptor(const dbTableDescriptor&) = delete;
  dbTableDescriptor& operator=(const dbTableDescriptor&) = delete;

  // Head of the static list of tables.
  static dbTableDescriptor* chain;
  static dbDatabase* everyDatabase() { return reinterpret_cast<dbDatabase*>(~uintptr_t(0)); }

  // A copy for one database, with members of its own; not on the static list.
  dbTableDescriptor* clone();

  // The column whose interned name is the pointer symbol, or null.
  dbFieldDescriptor* findSymbol(const char* symbol) { return columns->findSymbol(symbol); }

  // Finds the inverse member of every member on inverseFields in its target
  // table; a missing or unmatched one is reported to db's error handler as
  // InconsistentInverseReference.
  void resolveInverseReferences(dbDatabase* db);

 private:
  // Lays out one ring; returns the largest alignment of its data members.
  nat4 layoutFields(dbFieldDescriptor* ring, const std::string& prefix, nat4 base, nat4 indexMask,
                    nat4& enclosingFlags);
  // The method members from first to the end of ring: not counted, not
  // numbered, on no list; direct accessors where the ring is one-to-one.
  void layoutMethods(dbFieldDescriptor* ring, dbFieldDescriptor* first, const std::string& prefix,
                     nat4 enclosingFlags);
  void link();
  void unlink();
};
