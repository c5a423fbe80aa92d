#include "engine/query/expr_node.h"

#include <cstring>
#include <new>

#include "engine/exception.h"

namespace {

// Value type and operand count per code; tpVoid marks types that come from
// the field or parameter the node loads.
struct ShapeTable {
  dbExprNodeShape shapes[256];

  constexpr void set(int from, int to, dbExprType type, nat1 operands) {
    for (int c = from; c <= to; c++) shapes[c] = {type, operands};
  }
  constexpr ShapeTable() : shapes() {
    for (auto& s : shapes) s = {tpVoid, 0};
    set(dbvmLoadBool, dbvmLoadArray, tpVoid, 1);
    set(dbvmInvokeMethodBool, dbvmInvokeMethodReference, tpVoid, 1);
    set(dbvmLoadRawBinary, dbvmLoadRawBinary, tpRawBinary, 1);
    set(dbvmLoadSelfBool, dbvmLoadSelfArray, tpVoid, 0);
    set(dbvmInvokeSelfMethodBool, dbvmInvokeSelfMethodReference, tpVoid, 0);
    set(dbvmLoadSelfRawBinary, dbvmLoadSelfRawBinary, tpRawBinary, 0);
    set(dbvmInArrayBool, dbvmInString, tpBoolean, 2);
    set(dbvmGetArrayLength, dbvmStringLength, tpInteger, 1);
    set(dbvmGetAt, dbvmGetAt, tpVoid, 2);
    set(dbvmCharAt, dbvmCharAt, tpInteger, 2);
    set(dbvmVariableBool, dbvmVariableRawBinary, tpVoid, 0);
    set(dbvmTrue, dbvmFalse, tpBoolean, 0);
    set(dbvmCurrent, dbvmNull, tpReference, 0);
    set(dbvmLoadIntConstant, dbvmLoadIntConstant, tpInteger, 0);
    set(dbvmLoadRealConstant, dbvmLoadRealConstant, tpReal, 0);
    set(dbvmLoadStringConstant, dbvmLoadStringConstant, tpString, 0);
    set(dbvmOrBool, dbvmAndBool, tpBoolean, 2);
    set(dbvmNotBool, dbvmIsNull, tpBoolean, 1);
    set(dbvmNegInt, dbvmNegInt, tpInteger, 1);
    set(dbvmAddInt, dbvmOrInt, tpInteger, 2);
    set(dbvmNotInt, dbvmAbsInt, tpInteger, 1);
    set(dbvmPowerInt, dbvmPowerInt, tpInteger, 2);
    set(dbvmEqInt, dbvmLeInt, tpBoolean, 2);
    set(dbvmBetweenInt, dbvmBetweenInt, tpBoolean, 3);
    set(dbvmNegReal, dbvmNegReal, tpReal, 1);
    set(dbvmAddReal, dbvmDivReal, tpReal, 2);
    set(dbvmAbsReal, dbvmAbsReal, tpReal, 1);
    set(dbvmPowerReal, dbvmPowerRealInt, tpReal, 2);
    set(dbvmEqBinary, dbvmLeBinary, tpBoolean, 2);
    set(dbvmBetweenBinary, dbvmBetweenBinary, tpBoolean, 3);
    set(dbvmEqReal, dbvmLeReal, tpBoolean, 2);
    set(dbvmBetweenReal, dbvmBetweenReal, tpBoolean, 3);
    set(dbvmEqBool, dbvmNeReference, tpBoolean, 2);
    set(dbvmEqString, dbvmLeString, tpBoolean, 2);
    set(dbvmBetweenString, dbvmBetweenString, tpBoolean, 3);
    set(dbvmLikeString, dbvmLikeString, tpBoolean, 2);
    set(dbvmLikeEscapeString, dbvmLikeEscapeString, tpBoolean, 3);
    set(dbvmStringUpper, dbvmStringLower, tpString, 1);
    set(dbvmIntToReference, dbvmIntToReference, tpReference, 1);
    set(dbvmIntToReal, dbvmIntToReal, tpReal, 1);
    set(dbvmRealToInt, dbvmRealToInt, tpInteger, 1);
    set(dbvmIntToString, dbvmRealToString, tpString, 1);
    set(dbvmStringConcat, dbvmStringConcat, tpString, 2);
    set(dbvmDeref, dbvmDeref, tpReference, 1);
    set(dbvmExists, dbvmExists, tpBoolean, 1);
    set(dbvmVariable, dbvmVariable, tpFreeVar, 0);
    set(dbvmList, dbvmList, tpList, 2);
    set(dbvmVoid, dbvmVoid, tpVoid, 0);
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

dbExprNode::dbExprNode(int8 value) : cop(dbvmLoadIntConstant), type(tpInteger), offs(0) { ivalue = value; }

dbExprNode::dbExprNode(real8 value) : cop(dbvmLoadRealConstant), type(tpReal), offs(0) { fvalue = value; }

dbExprNode::dbExprNode(const char* str, size_t len) : cop(dbvmLoadStringConstant), type(tpString), offs(0) {
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
