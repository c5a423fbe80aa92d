// Accessors of method members: a method of a described class, made usable in
// queries like a stored member. Given the address of a stored record and a
// place for the result, call computes the method's value for that record.
#pragma once

#include "engine/field_descriptor.h"

class dbAnyMethodTrampoline {
 public:
  explicit dbAnyMethodTrampoline(dbFieldDescriptor* field) : field(field) {}
  dbAnyMethodTrampoline(const dbAnyMethodTrampoline&) = delete;
  dbAnyMethodTrampoline& operator=(const dbAnyMethodTrampoline&) = delete;

  virtual void call(byte* record, void* result) = 0;
  // The direct accessor of the same method; destroys this one.
  virtual dbAnyMethodTrampoline* makeDirect() = 0;
  virtual ~dbAnyMethodTrampoline() = default;

  dbFieldDescriptor* field;  // the method member
};

// Calls the method on the stored bytes themselves. Valid only where the
// enclosing class's stored layout is one-to-one with its object layout.
template <class C, class R>
class dbMethodFastTrampoline : public dbAnyMethodTrampoline {
 public:
  typedef R (*Method)(const C& object);  // calls the method on object
  dbMethodFastTrampoline(dbFieldDescriptor* field, Method method) : dbAnyMethodTrampoline(field), method(method) {}

  void call(byte* record, void* result) override {
    *static_cast<R*>(result) = method(*reinterpret_cast<const C*>(record + field->storedOffset));
  }
  dbAnyMethodTrampoline* makeDirect() override { return this; }

 private:
  Method method;
};

// Fetches the enclosing class's members into a default-constructed temporary
// and calls the method on it.
template <class C, class R>
class dbMethodTrampoline : public dbAnyMethodTrampoline {
 public:
  typedef R (*Method)(const C& object);  // calls the method on object
  dbMethodTrampoline(dbFieldDescriptor* field, Method method) : dbAnyMethodTrampoline(field), method(method) {}

  void call(byte* record, void* result) override {
    C object;
    field->parts->fetch(reinterpret_cast<byte*>(&object), record);
    *static_cast<R*>(result) = method(object);
  }
  dbAnyMethodTrampoline* makeDirect() override {
    dbAnyMethodTrampoline* direct = new dbMethodFastTrampoline<C, R>(field, method);
    delete this;
    return direct;
  }

 private:
  Method method;
};
