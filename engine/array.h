// dbArray: the member form of an array column. In the object it is the
// element count, the pointer to the elements and the number of elements the
// array owns; that count is 0 when the elements lie in memory the array does
// not own, such as a record inside the mapped database file.
#pragma once

#include <cstddef>

#include "engine/exception.h"
#include "engine/types.h"

class dbFieldDescriptor;

// The untyped part the record codec works with.
class dbAnyArray {
 public:
  size_t length() const { return nElems; }
  const void* base() const { return data; }

 protected:
  dbAnyArray() = default;
  ~dbAnyArray() = default;
  dbAnyArray(const dbAnyArray&) = delete;
  dbAnyArray& operator=(const dbAnyArray&) = delete;

  nat4 nElems = 0;
  void* data = nullptr;
  nat4 allocated = 0;

  friend class dbFieldDescriptor;
};

// The array function of an element kind: gives the array `count` elements,
// freeing what it owned. With a data pointer, or with no elements, the array
// points at that memory and owns nothing; otherwise it allocates the elements
// (value-initialised) and owns them.
typedef void (*dbArrayResize)(dbAnyArray* array, void* data, size_t count);

template <class T>
class dbArray : public dbAnyArray {
 public:
  dbArray() = default;
  // An owned copy of the n elements at items.
  dbArray(const T* items, size_t n) { assign(items, n); }
  dbArray(const dbArray& other) : dbAnyArray() { assign(other.base(), other.length()); }
  dbArray& operator=(const dbArray& other) {
    if (this != &other) {
      T* copy = duplicate(other.base(), other.length());
      release();
      data = copy;
      nElems = allocated = static_cast<nat4>(other.length());
    }
    return *this;
  }
  ~dbArray() { release(); }

  const T* base() const { return static_cast<const T*>(data); }
  const T& operator[](size_t i) const {
    dbCheck(i < nElems);
    return base()[i];
  }

  static void arrayResize(dbAnyArray* array, void* items, size_t count) {
    dbArray* self = static_cast<dbArray*>(array);
    self->release();
    self->nElems = static_cast<nat4>(count);
    if (items != nullptr || count == 0) {
      self->data = items;
    } else {
      self->data = new T[count]();
      self->allocated = static_cast<nat4>(count);
    }
  }

 private:
  static T* duplicate(const T* items, size_t n) {
    if (n == 0) return nullptr;
    T* copy = new T[n];
    for (size_t i = 0; i < n; i++) copy[i] = items[i];
    return copy;
  }
  void assign(const T* items, size_t n) {
    data = duplicate(items, n);
    nElems = allocated = static_cast<nat4>(n);
  }
  void release() {
    if (allocated != 0) delete[] static_cast<T*>(data);
    data = nullptr;
    allocated = 0;
  }
};
