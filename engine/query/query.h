// Query objects: the text of a search condition with its typed parameters,
// and the compiled form kept between selects.
//
// A condition is built from texts and the addresses of bound variables:
//
//   int4 minAge;  const char* city;
//   dbQuery q("age >= ", &minAge, " and city = ", &city);
//
// The parameter kind is deduced from the variable's C++ type, so a variable
// can never be read as something it is not. For selects with a parameter base
// (one query shared by many objects), dbParameterAt<T>(offset) names the
// variable by its offset from the base instead.
#pragma once

#include <type_traits>

#include "engine/array.h"
#include "engine/query/expr_node.h"
#include "engine/reference.h"
#include "engine/sync.h"
#include "engine/types.h"

class dbTableDescriptor;
class dbFieldDescriptor;

// Kinds of query elements: 0 is text, 1 to 13 are parameters.
enum dbQueryElementKind : nat1 {
  qText = 0,
  qBool = 1,
  qInt1,
  qInt2,
  qInt4,
  qInt8,
  qReal4,
  qReal8,
  qStrArray,  // a character array holding the text
  qStrPtr,    // a pointer to the text
  qReference,
  qArrayOfRef,
  qArrayOfRefPtr,
  qRawBinary,
};

// One piece of a query: a text (not copied; it must outlive the query) or a
// parameter. Pooled.
class dbQueryElement {
 public:
  dbQueryElement* next = nullptr;
  const void* ptr = nullptr;  // the text, or the variable's address (or offset from the parameter base)
  nat1 kind = qText;
  dbTableDescriptor* refTable = nullptr;  // reference parameters: the table referred to

  static void* operator new(size_t size);
  static void operator delete(void* p);
};

// The free list of query elements, shared by all threads.
class dbQueryElementAllocator {
 public:
  static dbQueryElementAllocator& instance();
  dbQueryElement* allocate();
  // Puts the chain first..last on the free list in one step.
  void deallocate(dbQueryElement* first, dbQueryElement** lastNext);
  ~dbQueryElementAllocator();

 private:
  dbMutex mutex;
  dbQueryElement* freeList = nullptr;
};

// One ORDER BY component: a field, or an expression, and the direction.
struct dbOrderByNode {
  dbOrderByNode* next = nullptr;
  dbFieldDescriptor* field = nullptr;
  dbTableDescriptor* table = nullptr;
  dbExprNode* expr = nullptr;  // owned
  bool ascent = true;
  ~dbOrderByNode() { delete expr; }
};

// One FOLLOW BY field; entries are prepended, so the list runs in the reverse
// of the written order.
struct dbFollowByNode {
  dbFollowByNode* next = nullptr;
  dbFieldDescriptor* field = nullptr;
};

class dbCompiledQuery {
 public:
  enum StartFrom : nat1 { StartFromAny, StartFromFirst, StartFromLast, StartFromRef, StartFromArray, StartFromArrayPtr };

  dbExprNode* tree = nullptr;  // null while not compiled
  dbOrderByNode* order = nullptr;
  dbFollowByNode* follow = nullptr;
  dbTableDescriptor* table = nullptr;
  nat1 startFrom = StartFromAny;
  void* startFromPtr = nullptr;  // read at its address; the parameter base does not apply

  bool compiled() const { return tree != nullptr; }
  // Deletes the tree and the clause lists, unless the node pool is already
  // gone at program exit, and clears every field.
  void destroy();
  ~dbCompiledQuery() { destroy(); }
};

// A parameter named by its offset from the select's parameter base.
template <class T>
struct dbParameterAt {
  explicit dbParameterAt(size_t offset) : offset(offset) {}
  size_t offset;
};

// Raw bytes as a parameter; they compare with a raw binary field's own size
// and comparison function.
struct dbRawParameter {
  const void* data;
};

// The kind of a parameter variable of type T.
template <class T>
struct dbParameterKind;
template <> struct dbParameterKind<bool> { static constexpr nat1 kind = qBool; };
template <> struct dbParameterKind<int1> { static constexpr nat1 kind = qInt1; };
template <> struct dbParameterKind<int2> { static constexpr nat1 kind = qInt2; };
template <> struct dbParameterKind<int4> { static constexpr nat1 kind = qInt4; };
template <> struct dbParameterKind<int8> { static constexpr nat1 kind = qInt8; };
template <> struct dbParameterKind<real4> { static constexpr nat1 kind = qReal4; };
template <> struct dbParameterKind<real8> { static constexpr nat1 kind = qReal8; };
template <> struct dbParameterKind<char*> { static constexpr nat1 kind = qStrPtr; };
template <> struct dbParameterKind<const char*> { static constexpr nat1 kind = qStrPtr; };
template <size_t N> struct dbParameterKind<char[N]> { static constexpr nat1 kind = qStrArray; };

class dbQuery : public dbCompiledQuery {
 public:
  dbQuery() = default;
  // A query of one text element.
  dbQuery(const char* condition) { add(condition); }
  // Texts and parameters in turn.
  template <class First, class... Rest>
  dbQuery(First&& first, Rest&&... rest) {
    add(std::forward<First>(first));
    (add(std::forward<Rest>(rest)), ...);
  }
  ~dbQuery() { reset(); }
  dbQuery(const dbQuery&) = delete;
  dbQuery& operator=(const dbQuery&) = delete;

  // Returns every element to the pool and destroys the compiled part.
  void reset();

  dbQuery& add(const char* text) {
    append(qText, text);
    return *this;
  }
  template <class T>
  dbQuery& add(T* variable) {
    append(dbParameterKind<std::remove_cv_t<T>>::kind, variable);
    return *this;
  }
  template <class T>
  dbQuery& add(dbParameterAt<T> parameter) {
    append(dbParameterKind<T>::kind, reinterpret_cast<const void*>(parameter.offset));
    return *this;
  }
  dbQuery& add(dbRawParameter raw);
  // References and arrays of references into T's table.
  template <class T>
  dbQuery& add(dbReference<T>* ref) {
    append(qReference, ref, &T::dbDescriptor);
    return *this;
  }
  template <class T>
  dbQuery& add(dbArray<dbReference<T>>* refs) {
    append(qArrayOfRef, refs, &T::dbDescriptor);
    return *this;
  }
  template <class T>
  dbQuery& add(dbArray<dbReference<T>>** refs) {
    append(qArrayOfRefPtr, refs, &T::dbDescriptor);
    return *this;
  }

  dbQueryElement* getElements() const { return elements; }
  dbMutex& getMutex() { return mutex; }

 protected:
  dbQueryElement* append(nat1 kind, const void* ptr, dbTableDescriptor* refTable = nullptr);

  dbMutex mutex;  // serialises compilation of this query
  dbQueryElement* elements = nullptr;
  dbQueryElement** nextElement = &elements;  // where the next element is linked
};
