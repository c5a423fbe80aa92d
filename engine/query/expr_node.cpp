#include "engine/query/expr_node.h"

#include <cstring>
#include <new>

#include "engine/exception.h"

namespace {

// Value type and operand count per code; etVoid marks types that come from
// the field or parameter the node loads.
struct ShapeTable {
  dbExprNodeShape shapes[256];

  constexpr void set(int from, int to, dbExprType type, nat1 operands) {
    for (int c = from; c <= to; c++) shapes[c] = {type, operands};
  }
  constexpr ShapeTable() : shapes() {
    for (auto& s : shapes) s = {etVoid, 0};
    set(dbvmLoadBool, dbvmLoadArray, etVoid, 1);
    set(dbvmInvokeMethodBool, dbvmInvokeMethodReference, etVoid, 1);
    set(dbvmLoadRawBinary, dbvmLoadRawBinary, etRawBinary, 1);
    set(dbvmLoadSelfBool, dbvmLoadSelfArray, etVoid, 0);
    set(dbvmInvokeSelfMethodBool, dbvmInvokeSelfMethodReference, etVoid, 0);
    set(dbvmLoadSelfRawBinary, dbvmLoadSelfRawBinary, etRawBinary, 0);
    set(dbvmInArrayBool, dbvmInString, etBoolean, 2);
    set(dbvmGetArrayLength, dbvmStringLength, etInteger, 1);
    set(dbvmGetAt, dbvmGetAt, etVoid, 2);
    set(dbvmCharAt, dbvmCharAt, etInteger, 2);
    set(dbvmVariableBool, dbvmVariableRawBinary, etVoid, 0);
    set(dbvmTrue, dbvmFalse, etBoolean, 0);
    set(dbvmCurrent, dbvmNull, etReference, 0);
    set(dbvmLoadIntConstant, dbvmLoadIntConstant, etInteger, 0);
    set(dbvmLoadRealConstant, dbvmLoadRealConstant, etReal, 0);
    set(dbvmLoadStringConstant, dbvmLoadStringConstant, etString, 0);
    set(dbvmOrBool, dbvmAndBool, etBoolean, 2);
    set(dbvmNotBool, dbvmIsNull, etBoolean, 1);
    set(dbvmNegInt, dbvmNegInt, etInteger, 1);
    set(dbvmAddInt, dbvmOrInt, etInteger, 2);
    set(dbvmNotInt, dbvmAbsInt, etInteger, 1);
    set(dbvmPowerInt, dbvmPowerInt, etInteger, 2);
    set(dbvmEqInt, dbvmLeInt, etBoolean, 2);
    set(dbvmBetweenInt, dbvmBetweenInt, etBoolean, 3);
    set(dbvmNegReal, dbvmNegReal, etReal, 1);
    set(dbvmAddReal, dbvmDivReal, etReal, 2);
    set(dbvmAbsReal, dbvmAbsReal, etReal, 1);
    set(dbvmPowerReal, dbvmPowerRealInt, etReal, 2);
    set(dbvmEqBinary, dbvmLeBinary, etBoolean, 2);
    set(dbvmBetweenBinary, dbvmBetweenBinary, etBoolean, 3);
    set(dbvmEqReal, dbvmLeReal, etBoolean, 2);
    set(dbvmBetweenReal, dbvmBetweenReal, etBoolean, 3);
    set(dbvmEqBool, dbvmNeReference, etBoolean, 2);
    set(dbvmEqString, dbvmLeString, etBoolean, 2);
    set(dbvmBetweenString, dbvmBetweenString, etBoolean, 3);
    set(dbvmLikeString, dbvmLikeString, etBoolean, 2);
    set(dbvmLikeEscapeString, dbvmLikeEscapeString, etBoolean, 3);
    set(dbvmStringUpper, dbvmStringLower, etString, 1);
    set(dbvmIntToReference, dbvmIntToReference, etReference, 1);
    set(dbvmIntToReal, dbvmIntToReal, etReal, 1);
    set(dbvmRealToInt, dbvmRealToInt, etInteger, 1);
    set(dbvmIntToString, dbvmRealToString, etString, 1);
    set(dbvmStringConcat, dbvmStringConcat, etString, 2);
    set(dbvmDeref, dbvmDeref, etReference, 1);
    set(dbvmExists, dbvmExists, etBoolean, 1);
    set(dbvmVariable, dbvmVariable, etFreeVar, 0);
    set(dbvmList, dbvmList, etList, 2);
    set(dbvmVoid, dbvmVoid, etVoid, 0);
  }
};

constexpr ShapeTable shapeTable;

// Trivially destructible, so it may be read after the pool is gone.
constinit bool poolAlive = false;

}  // namespace

const dbExprNodeShape& dbExprNodeShapeOf(nat1 cop) { return shapeTable.shapes[cop]; }

// ---- The pool

struct dbExprNodeAllocator::Chunk {
  alignas(dbExprNode) byte nodes[chunkSize][sizeof(dbExprNode)];
  Chunk* next;
};

dbExprNodeAllocator::dbExprNodeAllocator() { poolAlive = true; }

dbExprNodeAllocator::~dbExprNodeAllocator() {
  dbCriticalSection cs(mutex);
  poolAlive = false;
  while (Chunk* c = chunks) {
    chunks = c->next;
    delete c;
  }
  freeList = nullptr;
}

dbExprNodeAllocator& dbExprNodeAllocator::instance() {
  static dbExprNodeAllocator pool;
  return pool;
}

bool dbExprNodeAllocator::alive() { return poolAlive; }

int dbExprNodeAllocator::chunkCount() const {
  int n = 0;
  for (Chunk* c = chunks; c; c = c->next) n++;
  return n;
}

dbExprNode* dbExprNodeAllocator::allocate() {
  dbCriticalSection cs(mutex);
  if (freeList == nullptr) {
    Chunk* c = new Chunk;
    c->next = chunks;
    chunks = c;
    for (int i = chunkSize - 2; i >= 0; i--) {
      auto* node = reinterpret_cast<dbExprNode*>(c->nodes[i]);
      node->operand[0] = freeList;
      freeList = node;
    }
    return reinterpret_cast<dbExprNode*>(c->nodes[chunkSize - 1]);
  }
  dbExprNode* node = freeList;
  freeList = node->operand[0];
  return node;
}

void dbExprNodeAllocator::deallocate(dbExprNode* node) {
  dbCriticalSection cs(mutex);
  node->operand[0] = freeList;
  freeList = node;
}

// ---- Nodes

void* dbExprNode::operator new(size_t) { return dbExprNodeAllocator::instance().allocate(); }

void dbExprNode::operator delete(void* p) {
  if (dbExprNodeAllocator::alive()) dbExprNodeAllocator::instance().deallocate(static_cast<dbExprNode*>(p));
}

dbExprNode::dbExprNode(nat1 code, dbExprNode* left, dbExprNode* right, dbExprNode* right2)
    : cop(code), type(dbExprNodeShapeOf(code).type), offs(0) {
  cmp.operand[0] = left;
  cmp.operand[1] = right;
  cmp.operand[2] = right2;
  cmp.comparator = nullptr;
}

dbExprNode::dbExprNode(nat1 code, dbExprNode* base, dbFieldDescriptor* field, nat2 offset, nat1 valueType)
    : cop(code), type(valueType), offs(offset) {
  cmp.operand[2] = nullptr;
  cmp.comparator = nullptr;
  ref.base = base;
  ref.field = field;
}

dbExprNode::dbExprNode(int8 value) : cop(dbvmLoadIntConstant), type(etInteger), offs(0) { ivalue = value; }

dbExprNode::dbExprNode(real8 value) : cop(dbvmLoadRealConstant), type(etReal), offs(0) { fvalue = value; }

dbExprNode::dbExprNode(const char* str, size_t len) : cop(dbvmLoadStringConstant), type(etString), offs(0) {
  svalue.str = new char[len];
  memcpy(svalue.str, str, len);
  svalue.len = static_cast<nat4>(len);
}

dbExprNode::~dbExprNode() {
  if (cop == dbvmLoadStringConstant) {
    delete[] svalue.str;
    return;
  }
  int n = operandCount();
  // A field load's operand is its base; the field descriptor is not owned.
  for (int i = 0; i < n; i++) delete operand[i];
}

dbExprNode* dbExprNode::copy() const {
  void* place = dbExprNodeAllocator::instance().allocate();
  auto* node = static_cast<dbExprNode*>(memcpy(place, static_cast<const void*>(this), sizeof(dbExprNode)));
  if (cop == dbvmLoadStringConstant) {
    node->svalue.str = new char[svalue.len];
    memcpy(node->svalue.str, svalue.str, svalue.len);
  } else {
    for (int i = 0, n = operandCount(); i < n; i++) {
      if (operand[i]) node->operand[i] = operand[i]->copy();
    }
  }
  return node;
}
