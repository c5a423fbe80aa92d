// Declaring tables: the describe function of a record class, written in the
// class with one line per member, and the static registration of a table.
//
//   struct Record {
//     char const* name;
//     int4 count;
//     dbArray<int1> bytes;
//     dbReference<Category> category;
//     dbDateTime created;
//
//     TYPE_DESCRIPTOR((FIELD(name), KEY(count, HASHED | INDEXED), FIELD(bytes),
//                      RELATION(category, records), FIELD(created)));
//   };
//   REGISTER(Record);  // in one source file
//
// The members are listed in the order that fixes the stored layout; offsets
// and sizes come from the class, the kind from each member's C++ type:
// bool, int1 to int8, real4 and real8 are scalars, `char const*` is a
// string, dbReference<T> a reference to T's table, dbArray<T> an array of
// T's kind, a class with its own TYPE_DESCRIPTOR a structure. METHOD lists a
// const method without arguments after every data member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/array.h"
#include "engine/field_descriptor.h"
#include "engine/method_trampoline.h"
#include "engine/reference.h"
#include "engine/table_descriptor.h"
#include "engine/types.h"

#define DB_UNPAREN(...) __VA_ARGS__

// Defines the describe function of the enclosing class, and declares the
// static table descriptor that REGISTER defines for a table.
#define TYPE_DESCRIPTOR(members)                                          \
  static dbTableDescriptor dbDescriptor;                                  \
  template <class dbSelf>                                                 \
  static dbFieldDescriptor* dbDescribeComponents() {                      \
    return dbFieldDescriptor::describeRing({DB_UNPAREN members});         \
  }

#define KEY(x, flags) dbMember<decltype(dbSelf::x)>(#x, offsetof(dbSelf, x), flags, nullptr)
#define FIELD(x) KEY(x, 0)
// A reference (or array of references) whose target keeps the inverse
// reference in its member `inverse`.
#define RELATION(x, inverse) dbMember<decltype(dbSelf::x)>(#x, offsetof(dbSelf, x), 0, #inverse)
// A relation whose targets are removed with the record.
#define OWNER(x, inverse) dbMember<decltype(dbSelf::x)>(#x, offsetof(dbSelf, x), CASCADE, #inverse)
// A member copied and compared byte for byte.
#define RAWFIELD(x) dbRawMember<decltype(dbSelf::x)>(#x, offsetof(dbSelf, x))
// Replaces the METHOD macro of Qt, whose headers may come first in a window.
#undef METHOD
#define METHOD(x) dbMethodMember<&dbSelf::x>(#x)

// The static descriptor of a table, not bound to any database yet.
#define REGISTER(T) \
  dbTableDescriptor T::dbDescriptor(#T, nullptr, sizeof(T), &T::template dbDescribeComponents<T>)

// ---- Kind appliers chosen by the member's type.

template <class T>
concept dbDescribedClass = requires { T::template dbDescribeComponents<T>(); };

template <class T>
struct dbKind;  // no kind: the type cannot be a member of a described class

template <dbFieldType Type>
struct dbScalarKind {
  static void apply(dbFieldDescriptor* fd) { fd->setScalar(Type); }
};
template <> struct dbKind<bool> : dbScalarKind<tpBool> {};
template <> struct dbKind<int1> : dbScalarKind<tpInt1> {};
template <> struct dbKind<int2> : dbScalarKind<tpInt2> {};
template <> struct dbKind<int4> : dbScalarKind<tpInt4> {};
template <> struct dbKind<int8> : dbScalarKind<tpInt8> {};
template <> struct dbKind<real4> : dbScalarKind<tpReal4> {};
template <> struct dbKind<real8> : dbScalarKind<tpReal8> {};

template <>
struct dbKind<const char*> {
  static void apply(dbFieldDescriptor* fd) { fd->setString(); }
};

template <class T>
struct dbKind<dbReference<T>> {
  static void apply(dbFieldDescriptor* fd) { fd->setReference(&T::dbDescriptor); }
};

template <class T>
struct dbKind<dbArray<T>> {
  static void apply(dbFieldDescriptor* fd) {
    fd->setArray(dbFieldDescriptor::describeElement(sizeof(T), &dbKind<T>::apply), &dbArray<T>::arrayResize);
  }
};

template <dbDescribedClass T>
struct dbKind<T> {
  static void apply(dbFieldDescriptor* fd) { fd->setStructure(T::template dbDescribeComponents<T>()); }
};

template <class M>
dbMemberSpec dbMember(const char* name, size_t offset, nat4 indexFlags, const char* inverseName) {
  return {name, offset, sizeof(M), indexFlags, inverseName, &dbKind<M>::apply};
}

template <size_t Align>
void dbApplyRawBinary(dbFieldDescriptor* fd) {
  fd->setRawBinary(Align);
}

template <class M>
dbMemberSpec dbRawMember(const char* name, size_t offset) {
  return {name, offset, sizeof(M), 0, nullptr, &dbApplyRawBinary<alignof(M)>};
}

template <auto Method>
struct dbMethodKind;

template <class C, class R, R (C::*Method)() const>
struct dbMethodKind<Method> {
  static R invoke(const C& object) { return (object.*Method)(); }
  static dbAnyMethodTrampoline* makeAccessor(dbFieldDescriptor* fd) { return new dbMethodTrampoline<C, R>(fd, &invoke); }
  static void apply(dbFieldDescriptor* fd) { fd->setMethod(&dbKind<R>::apply, &makeAccessor); }
  static constexpr size_t resultSize = sizeof(R);
};

template <auto Method>
dbMemberSpec dbMethodMember(const char* name) {
  return {name, 0, dbMethodKind<Method>::resultSize, 0, nullptr, &dbMethodKind<Method>::apply};
}
