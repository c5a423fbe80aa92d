// Nodes of compiled query expressions, their codes and value types, and the
// pool they are recycled through.
#pragma once

#include <cstddef>

#include "engine/sync.h"
#include "engine/types.h"

class dbFieldDescriptor;
class dbTableDescriptor;

// Value types of expression nodes (the type codes of stored fields are
// dbFieldType, in field_descriptor.h).
enum dbExprType : nat1 {
  etInteger,  // 64-bit signed
  etBoolean,
  etReal,  // 64-bit
  etString,
  etReference,
  etArray,
  etRawBinary,
  etFreeVar,  // an EXISTS variable
  etList,     // a parenthesised list, only meaningful after IN
  etVoid,     // the empty condition
};

// Node codes. Loads follow the field type order boolean, int1, int2, int4,
// int8, real4, real8, string, reference, array.
enum dbvmCode : nat1 {
  dbvmLoadBool = 0, dbvmLoadInt1, dbvmLoadInt2, dbvmLoadInt4, dbvmLoadInt8, dbvmLoadReal4, dbvmLoadReal8,
  dbvmLoadString, dbvmLoadReference, dbvmLoadArray,
  dbvmInvokeMethodBool = 10, dbvmInvokeMethodInt1, dbvmInvokeMethodInt2, dbvmInvokeMethodInt4,
  dbvmInvokeMethodInt8, dbvmInvokeMethodReal4, dbvmInvokeMethodReal8, dbvmInvokeMethodString,
  dbvmInvokeMethodReference,
  dbvmLoadRawBinary = 19,
  dbvmLoadSelfBool = 20, dbvmLoadSelfInt1, dbvmLoadSelfInt2, dbvmLoadSelfInt4, dbvmLoadSelfInt8,
  dbvmLoadSelfReal4, dbvmLoadSelfReal8, dbvmLoadSelfString, dbvmLoadSelfReference, dbvmLoadSelfArray,
  dbvmInvokeSelfMethodBool = 30, dbvmInvokeSelfMethodInt1, dbvmInvokeSelfMethodInt2, dbvmInvokeSelfMethodInt4,
  dbvmInvokeSelfMethodInt8, dbvmInvokeSelfMethodReal4, dbvmInvokeSelfMethodReal8, dbvmInvokeSelfMethodString,
  dbvmInvokeSelfMethodReference,
  dbvmLoadSelfRawBinary = 39,
  dbvmInArrayBool = 40, dbvmInArrayInt1, dbvmInArrayInt2, dbvmInArrayInt4, dbvmInArrayInt8, dbvmInArrayReal4,
  dbvmInArrayReal8, dbvmInArrayString, dbvmInArrayReference,
  dbvmInString = 49,
  dbvmGetArrayLength = 50, dbvmStringLength, dbvmGetAt, dbvmCharAt,
  // Parameters: code = parameter kind + 53.
  dbvmVariableBool = 54, dbvmVariableInt1, dbvmVariableInt2, dbvmVariableInt4, dbvmVariableInt8,
  dbvmVariableReal4, dbvmVariableReal8, dbvmVariableStrArray, dbvmVariableStrPtr, dbvmVariableReference,
  dbvmVariableArrayOfRef, dbvmVariableArrayOfRefPtr, dbvmVariableRawBinary,
  dbvmTrue = 68, dbvmFalse, dbvmCurrent, dbvmFirst, dbvmLast, dbvmNull,
  dbvmLoadIntConstant = 74, dbvmLoadRealConstant, dbvmLoadStringConstant,
  dbvmOrBool = 77, dbvmAndBool, dbvmNotBool, dbvmIsNull,
  dbvmNegInt = 81, dbvmAddInt, dbvmSubInt, dbvmMulInt, dbvmDivInt, dbvmAndInt, dbvmOrInt, dbvmNotInt,
  dbvmAbsInt, dbvmPowerInt,
  dbvmEqInt = 91, dbvmNeInt, dbvmGtInt, dbvmGeInt, dbvmLtInt, dbvmLeInt, dbvmBetweenInt,
  dbvmNegReal = 98, dbvmAddReal, dbvmSubReal, dbvmMulReal, dbvmDivReal, dbvmAbsReal, dbvmPowerReal,
  dbvmPowerRealInt,
  dbvmEqBinary = 106, dbvmNeBinary, dbvmGtBinary, dbvmGeBinary, dbvmLtBinary, dbvmLeBinary, dbvmBetweenBinary,
  dbvmEqReal = 113, dbvmNeReal, dbvmGtReal, dbvmGeReal, dbvmLtReal, dbvmLeReal, dbvmBetweenReal,
  dbvmEqBool = 120, dbvmNeBool,
  dbvmEqReference = 122, dbvmNeReference,
  dbvmEqString = 124, dbvmNeString, dbvmGtString, dbvmGeString, dbvmLtString, dbvmLeString, dbvmBetweenString,
  dbvmLikeString = 131, dbvmLikeEscapeString,
  dbvmStringUpper = 133, dbvmStringLower,
  dbvmIntToReference = 135, dbvmIntToReal, dbvmRealToInt,
  dbvmIntToString = 138, dbvmRealToString,
  dbvmStringConcat = 140,
  dbvmDeref = 141,
  dbvmExists = 142, dbvmVariable,
  dbvmList = 144,
  dbvmVoid = 169,
};

// Comparison of two raw binary values of the given size (<0, 0, >0).
typedef int (*dbUDTComparator)(void const*, void const*, size_t);

// Value type and number of operand nodes of every code.
struct dbExprNodeShape {
  dbExprType type;  // etVoid where the type comes from the field or parameter
  nat1 operands;
};
const dbExprNodeShape& dbExprNodeShapeOf(nat1 cop);

class dbExprNode {
 public:
  nat1 cop;   // a dbvmCode
  nat1 type;  // a dbExprType
  nat2 offs;  // field offset, element size, raw size or EXISTS variable index

  union {
    dbExprNode* operand[3];
    struct {
      dbExprNode* base;  // null for fields of the record being tested
      dbFieldDescriptor* field;
    } ref;
    struct {
      dbExprNode* operand[3];
      dbUDTComparator comparator;  // raw binary comparisons
    } cmp;
    int8 ivalue;
    real8 fvalue;
    struct {
      char* str;  // heap copy, freed with the node
      nat4 len;   // terminator included
    } svalue;
    void* var;  // parameter: its address, or its offset from the parameter base
  };

  static void* operator new(size_t size);
  static void operator delete(void* p);

  dbExprNode(nat1 cop, dbExprNode* left = nullptr, dbExprNode* right = nullptr, dbExprNode* right2 = nullptr);
  dbExprNode(nat1 cop, dbExprNode* base, dbFieldDescriptor* field, nat2 offs, nat1 type);  // field loads
  dbExprNode(int8 value);
  dbExprNode(real8 value);
  dbExprNode(const char* str, size_t len);  // string constant; the text is copied
  // Deletes the operand subtrees (the number fixed by the code) and a
  // string constant's text; the node returns to the pool.
  ~dbExprNode();
  // A deep copy: operands copied recursively, a string constant duplicated.
  dbExprNode* copy() const;

  int operandCount() const { return dbExprNodeShapeOf(cop).operands; }
};

// The pool of expression nodes: a free list filled in chunks of 1024 nodes,
// which go back to the heap only at program exit. Guarded by its own mutex.
class dbExprNodeAllocator {
 public:
  static constexpr int chunkSize = 1024;

  static dbExprNodeAllocator& instance();
  dbExprNode* allocate();
  void deallocate(dbExprNode* node);
  // False once the pool has been destroyed at program exit; compiled parts
  // destroyed later leave their nodes alone.
  static bool alive();
  // Chunks taken from the heap so far.
  int chunkCount() const;

  dbExprNodeAllocator();
  ~dbExprNodeAllocator();

 private:
  struct Chunk;
  dbMutex mutex;
  dbExprNode* freeList = nullptr;
  Chunk* chunks = nullptr;
};
