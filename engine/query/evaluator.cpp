#include "engine/query/evaluator.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/database.h"
#include "engine/field_descriptor.h"
#include "engine/method_trampoline.h"
#include "engine/query/cursor.h"
#include "engine/table_record.h"

// ---- Temporary strings

char* dbInheritedAttribute::allocateString(size_t n) {
  if (scratchUsed + n <= scratchSize) {
    char* p = scratch + scratchUsed;
    scratchUsed += n;
    return p;
  }
  auto* block = static_cast<OverflowBlock*>(::operator new(sizeof(OverflowBlock) + n));
  block->next = overflowBlocks;
  overflowBlocks = block;
  return reinterpret_cast<char*>(block + 1);
}

void dbInheritedAttribute::releaseStrings() {
  while (OverflowBlock* b = overflowBlocks) {
    overflowBlocks = b->next;
    ::operator delete(b);
  }
  scratchUsed = 0;
}

int dbInheritedAttribute::overflowCount() const {
  int n = 0;
  for (OverflowBlock* b = overflowBlocks; b; b = b->next) n++;
  return n;
}

namespace {

// An index with an EXISTS variable ran past the end of its array or string:
// the EXISTS of that level ends with false.
struct dbExistsExhausted {
  int level;
};

// Reports a run-time error. The handler throws; should an overriding handler
// return, the evaluation still must not go on with a meaningless value.
[[noreturn]] void runtimeError(dbInheritedAttribute& attr, dbErrorClass error, const char* msg, int arg = 0) {
  attr.releaseStrings();
  attr.db->handleError(error, msg, arg);
  throw dbException(error, msg, arg);
}

// Field kinds 0 (boolean) to 9 (array) stored at p inside record.
void loadField(int type, const byte* p, byte* record, dbExprValue& v) {
  switch (type) {
    case tpBool: v.bvalue = *p; return;
    case tpInt1: v.ivalue = readAt<int1>(p); return;
    case tpInt2: v.ivalue = readAt<int2>(p); return;
    case tpInt4: v.ivalue = readAt<int4>(p); return;
    case tpInt8: v.ivalue = readAt<int8>(p); return;
    case tpReal4: v.fvalue = readAt<real4>(p); return;
    case tpReal8: v.fvalue = readAt<real8>(p); return;
    case tpString:
      v.str.size = readAt<nat4>(p);
      v.str.base = reinterpret_cast<char*>(record + readAt<nat4>(p + 4));
      return;
    case tpReference: v.oid = readAt<oid_t>(p); return;
    default:
      v.array.size = readAt<nat4>(p);
      v.array.base = record + readAt<nat4>(p + 4);
      v.record = record;
      return;
  }
}

// Method result of kind type (0 to 8) for the object stored at container.
void invokeMethod(dbFieldDescriptor* fd, int type, byte* container, dbInheritedAttribute& attr, dbExprValue& v) {
  dbAnyMethodTrampoline* accessor = fd->accessor;
  switch (type) {
    case tpBool: {
      bool b;
      accessor->call(container, &b);
      v.bvalue = b;
      return;
    }
    case tpInt1: {
      int1 i;
      accessor->call(container, &i);
      v.ivalue = i;
      return;
    }
    case tpInt2: {
      int2 i;
      accessor->call(container, &i);
      v.ivalue = i;
      return;
    }
    case tpInt4: {
      int4 i;
      accessor->call(container, &i);
      v.ivalue = i;
      return;
    }
    case tpInt8: accessor->call(container, &v.ivalue); return;
    case tpReal4: {
      real4 f;
      accessor->call(container, &f);
      v.fvalue = f;
      return;
    }
    case tpReal8: accessor->call(container, &v.fvalue); return;
    case tpString: {
      // The method hands over a text allocated with new[]; the value keeps a
      // copy in the context.
      char* s = nullptr;
      accessor->call(container, &s);
      size_t n = strlen(s) + 1;
      v.str.base = attr.allocateString(n);
      v.str.size = static_cast<nat4>(n);
      memcpy(v.str.base, s, n);
      delete[] s;
      return;
    }
    default: accessor->call(container, &v.oid); return;
  }
}

// The address a parameter node's variable lies at.
byte* parameterAddress(const dbExprNode* node, const dbInheritedAttribute& attr) {
  byte* p = static_cast<byte*>(node->var);
  return attr.parameterBase != nullptr ? attr.parameterBase + reinterpret_cast<uintptr_t>(p) : p;
}

void setString(dbExprValue& v, char* s) {
  v.str.base = s;
  v.str.size = static_cast<nat4>(strlen(s) + 1);
}

int8 powerInt(dbInheritedAttribute& attr, int8 base, int8 exponent) {
  if (base == 2) return exponent >= 0 && exponent < 64 ? static_cast<int8>(nat8(1) << exponent) : 0;
  if (base == 0 && exponent < 0) runtimeError(attr, ArithmeticError, "Raise zero to negative power");
  nat8 e = static_cast<nat8>(exponent);
  if (exponent < 0) {
    base = 1 / base;
    e = 0 - e;
  }
  nat8 result = 1;
  nat8 b = static_cast<nat8>(base);
  for (; e != 0; e >>= 1) {
    if (e & 1) result *= b;
    b *= b;
  }
  return static_cast<int8>(result);
}

real8 powerRealInt(dbInheritedAttribute& attr, real8 base, int8 exponent) {
  if (base == 0.0 && exponent < 0) runtimeError(attr, ArithmeticError, "Raise zero to negative power");
  nat8 e = static_cast<nat8>(exponent);
  if (exponent < 0) {
    base = 1.0 / base;
    e = 0 - e;
  }
  real8 result = 1.0;
  for (; e != 0; e >>= 1) {
    if (e & 1) result *= base;
    base *= base;
  }
  return result;
}

// Truncation toward zero; values without a 64-bit integer (NaN, out of
// range) give the most negative value, as the processor's conversion does.
int8 realToInt(real8 x) {
  if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
  return static_cast<int8>(x);
}

// LIKE: "%" any run, "_" any one character, with the escape character (0:
// none) making the next pattern character literal. Only the last "%" is ever
// backtracked to.
bool matchLike(const char* text, const char* pattern, char escape) {
  const char* wildText = nullptr;
  const char* wildPattern = nullptr;
  for (;;) {
    if (*pattern == '%') {
      wildPattern = ++pattern;
      wildText = text;
      // A run of plain characters that another "%" ends matches best at its
      // first occurrence, which a substring search finds at once; it is never
      // backtracked to.
      size_t run = strcspn(pattern, "%_");
      if (escape != '\0') run = std::min(run, static_cast<size_t>(strchrnul(pattern, escape) - pattern));
      if (run != 0 && pattern[run] == '%') {
        const char* found = static_cast<const char*>(memmem(text, strlen(text), pattern, run));
        if (found == nullptr) return false;
        text = found + run;
        pattern += run;
      }
      continue;
    }
    if (*text == '\0') return *pattern == '\0';
    if (escape != '\0' && *pattern == escape) {
      if (pattern[1] == *text) {
        text++;
        pattern += 2;
        continue;
      }
    } else if (*pattern == *text || *pattern == '_') {
      text++;
      pattern++;
      continue;
    }
    if (wildPattern == nullptr) return false;
    text = ++wildText;
    pattern = wildPattern;
  }
}

// Whether pattern (m bytes) occurs in text (n bytes): Boyer-Moore-Horspool.
bool searchHorspool(const byte* pattern, size_t m, const byte* text, size_t n) {
  if (m == 0) return true;
  size_t shift[256];
  for (size_t& s : shift) s = m;
  for (size_t p = 0; p + 1 < m; p++) shift[pattern[p]] = m - 1 - p;
  for (size_t i = m - 1; i < n; i += shift[text[i]]) {
    size_t j = m - 1;
    size_t k = i;
    while (pattern[j] == text[k]) {
      if (j == 0) return true;
      j--;
      k--;
    }
  }
  return false;
}

bool inString(const dbExprValue& left, const dbExprValue& right) {
  if (right.str.size < left.str.size) return false;
  if (right.str.size <= 512) return strstr(right.str.base, left.str.base) != nullptr;
  return searchHorspool(reinterpret_cast<const byte*>(left.str.base), left.str.size - 1,
                        reinterpret_cast<const byte*>(right.str.base), right.str.size - 1);
}

// value IN array, the elements of the field type elementType.
bool inArray(int elementType, const dbExprValue& value, const dbExprValue& array) {
  const byte* p = array.array.base;
  nat4 n = array.array.size;
  for (nat4 i = 0; i < n; i++) {
    bool found;
    switch (elementType) {
      case tpBool: found = p[i] == (value.bvalue != 0 ? 1 : 0); break;
      case tpInt1: found = p[i] == static_cast<nat1>(value.ivalue); break;
      case tpInt2: found = readAt<nat2>(p + 2 * i) == static_cast<nat2>(value.ivalue); break;
      case tpInt4: found = readAt<nat4>(p + 4 * i) == static_cast<nat4>(value.ivalue); break;
      case tpInt8: found = readAt<int8>(p + 8 * i) == value.ivalue; break;
      case tpReal4: found = readAt<real4>(p + 4 * i) == static_cast<real4>(value.fvalue); break;
      case tpReal8: found = readAt<real8>(p + 8 * i) == value.fvalue; break;
      case tpString:
        found = strcmp(reinterpret_cast<const char*>(array.record + readAt<nat4>(p + 8 * i + 4)), value.str.base) == 0;
        break;
      default: found = readAt<oid_t>(p + 4 * i) == value.oid; break;
    }
    if (found) return true;
  }
  return false;
}

// Checks an index of an array or a string of n items.
void checkIndex(dbExprNode* indexNode, int8 index, nat4 n, dbInheritedAttribute& attr) {
  if (indexNode->cop == dbvmVariable) attr.existsState[indexNode->offs].used = true;
  if (index >= 0 && index < static_cast<int8>(n)) return;
  if (indexNode->cop == dbvmVariable) throw dbExistsExhausted{indexNode->offs};
  runtimeError(attr, IndexOutOfRange, nullptr, static_cast<int>(index));
}

int compareRaw(const dbExprNode* node, const dbExprValue& a, const dbExprValue& b) {
  return node->cmp.comparator(a.address, b.address, node->offs);
}

}  // namespace

void dbEvaluate(dbExprNode* node, dbInheritedAttribute& attr, dbExprValue& value) {
  dbExprValue l, r, r2;
  int cop = node->cop;
  switch (cop) {
    // ---- Loads
    case dbvmLoadBool: case dbvmLoadInt1: case dbvmLoadInt2: case dbvmLoadInt4: case dbvmLoadInt8:
    case dbvmLoadReal4: case dbvmLoadReal8: case dbvmLoadString: case dbvmLoadReference: case dbvmLoadArray:
      dbEvaluate(node->ref.base, attr, l);
      loadField(cop - dbvmLoadBool, l.address + node->offs, l.record, value);
      return;
    case dbvmLoadSelfBool: case dbvmLoadSelfInt1: case dbvmLoadSelfInt2: case dbvmLoadSelfInt4: case dbvmLoadSelfInt8:
    case dbvmLoadSelfReal4: case dbvmLoadSelfReal8: case dbvmLoadSelfString: case dbvmLoadSelfReference:
    case dbvmLoadSelfArray:
      loadField(cop - dbvmLoadSelfBool, attr.record + node->offs, attr.record, value);
      return;
    case dbvmInvokeMethodBool: case dbvmInvokeMethodInt1: case dbvmInvokeMethodInt2: case dbvmInvokeMethodInt4:
    case dbvmInvokeMethodInt8: case dbvmInvokeMethodReal4: case dbvmInvokeMethodReal8: case dbvmInvokeMethodString:
    case dbvmInvokeMethodReference:
      dbEvaluate(node->ref.base, attr, l);
      invokeMethod(node->ref.field, cop - dbvmInvokeMethodBool, l.address, attr, value);
      return;
    case dbvmInvokeSelfMethodBool: case dbvmInvokeSelfMethodInt1: case dbvmInvokeSelfMethodInt2:
    case dbvmInvokeSelfMethodInt4: case dbvmInvokeSelfMethodInt8: case dbvmInvokeSelfMethodReal4:
    case dbvmInvokeSelfMethodReal8: case dbvmInvokeSelfMethodString: case dbvmInvokeSelfMethodReference:
      invokeMethod(node->ref.field, cop - dbvmInvokeSelfMethodBool, attr.record, attr, value);
      return;
    case dbvmLoadRawBinary:
      dbEvaluate(node->ref.base, attr, l);
      value.address = l.address + node->offs;
      return;
    case dbvmLoadSelfRawBinary:
      value.address = attr.record + node->offs;
      return;

    // ---- Parameters
    case dbvmVariableBool: value.bvalue = *parameterAddress(node, attr) != 0; return;
    case dbvmVariableInt1: value.ivalue = readAt<int1>(parameterAddress(node, attr)); return;
    case dbvmVariableInt2: value.ivalue = readAt<int2>(parameterAddress(node, attr)); return;
    case dbvmVariableInt4: value.ivalue = readAt<int4>(parameterAddress(node, attr)); return;
    case dbvmVariableInt8: value.ivalue = readAt<int8>(parameterAddress(node, attr)); return;
    case dbvmVariableReal4: value.fvalue = readAt<real4>(parameterAddress(node, attr)); return;
    case dbvmVariableReal8: value.fvalue = readAt<real8>(parameterAddress(node, attr)); return;
    case dbvmVariableStrArray: setString(value, reinterpret_cast<char*>(parameterAddress(node, attr))); return;
    case dbvmVariableStrPtr: setString(value, readAt<char*>(parameterAddress(node, attr))); return;
    case dbvmVariableReference: value.oid = readAt<oid_t>(parameterAddress(node, attr)); return;
    case dbvmVariableArrayOfRef:
    case dbvmVariableArrayOfRefPtr: {
      byte* p = parameterAddress(node, attr);
      auto* a = cop == dbvmVariableArrayOfRef ? reinterpret_cast<dbAnyArray*>(p) : readAt<dbAnyArray*>(p);
      value.array.base = static_cast<byte*>(const_cast<void*>(a->base()));
      value.array.size = static_cast<nat4>(a->length());
      value.record = nullptr;
      return;
    }
    case dbvmVariableRawBinary: value.address = parameterAddress(node, attr); return;

    // ---- Constants
    case dbvmTrue: value.bvalue = 1; return;
    case dbvmFalse: value.bvalue = 0; return;
    case dbvmNull: value.oid = 0; return;
    case dbvmCurrent: value.oid = attr.oid; return;
    case dbvmFirst: value.oid = dbTableOf(attr.tableRow)->firstRow; return;
    case dbvmLast: value.oid = dbTableOf(attr.tableRow)->lastRow; return;
    case dbvmLoadIntConstant: value.ivalue = node->ivalue; return;
    case dbvmLoadRealConstant: value.fvalue = node->fvalue; return;
    case dbvmLoadStringConstant:
      value.str.base = node->svalue.str;
      value.str.size = node->svalue.len;
      return;
    case dbvmVoid: value.bvalue = 1; return;

    // ---- Logic
    case dbvmOrBool:
      dbEvaluate(node->operand[0], attr, value);
      if (value.bvalue == 0) dbEvaluate(node->operand[1], attr, value);
      return;
    case dbvmAndBool:
      dbEvaluate(node->operand[0], attr, value);
      if (value.bvalue != 0) dbEvaluate(node->operand[1], attr, value);
      return;
    case dbvmNotBool:
      dbEvaluate(node->operand[0], attr, l);
      value.bvalue = l.bvalue == 0;
      return;
    case dbvmIsNull:
      dbEvaluate(node->operand[0], attr, l);
      value.bvalue = l.oid == 0;
      return;

    // ---- Integer arithmetic: two's complement, results wrap
    case dbvmNegInt:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = static_cast<int8>(0 - static_cast<nat8>(l.ivalue));
      return;
    case dbvmNotInt:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = ~l.ivalue;
      return;
    case dbvmAbsInt:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = l.ivalue < 0 ? static_cast<int8>(0 - static_cast<nat8>(l.ivalue)) : l.ivalue;
      return;
    case dbvmAddInt: case dbvmSubInt: case dbvmMulInt: case dbvmDivInt: case dbvmAndInt: case dbvmOrInt:
    case dbvmPowerInt: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      nat8 a = static_cast<nat8>(l.ivalue), b = static_cast<nat8>(r.ivalue);
      switch (cop) {
        case dbvmAddInt: value.ivalue = static_cast<int8>(a + b); return;
        case dbvmSubInt: value.ivalue = static_cast<int8>(a - b); return;
        case dbvmMulInt: value.ivalue = static_cast<int8>(a * b); return;
        case dbvmAndInt: value.ivalue = static_cast<int8>(a & b); return;
        case dbvmOrInt: value.ivalue = static_cast<int8>(a | b); return;
        case dbvmPowerInt: value.ivalue = powerInt(attr, l.ivalue, r.ivalue); return;
        default:
          if (r.ivalue == 0) runtimeError(attr, ArithmeticError, "Division by zero");
          // The one quotient that does not fit wraps like the others.
          value.ivalue = r.ivalue == -1 ? static_cast<int8>(0 - a) : l.ivalue / r.ivalue;
          return;
      }
    }

    // ---- Real arithmetic
    case dbvmNegReal:
      dbEvaluate(node->operand[0], attr, l);
      value.fvalue = -l.fvalue;
      return;
    case dbvmAbsReal:
      dbEvaluate(node->operand[0], attr, l);
      value.fvalue = fabs(l.fvalue);
      return;
    case dbvmAddReal: case dbvmSubReal: case dbvmMulReal: case dbvmDivReal: case dbvmPowerReal:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      switch (cop) {
        case dbvmAddReal: value.fvalue = l.fvalue + r.fvalue; return;
        case dbvmSubReal: value.fvalue = l.fvalue - r.fvalue; return;
        case dbvmMulReal: value.fvalue = l.fvalue * r.fvalue; return;
        case dbvmDivReal:
          if (r.fvalue == 0.0) runtimeError(attr, ArithmeticError, "Division by zero");
          value.fvalue = l.fvalue / r.fvalue;
          return;
        default:
          if (l.fvalue < 0) runtimeError(attr, ArithmeticError, "Power operator returns complex result");
          if (l.fvalue == 0.0 && r.fvalue < 0) runtimeError(attr, ArithmeticError, "Raise zero to negative power");
          value.fvalue = pow(l.fvalue, r.fvalue);
          return;
      }
    case dbvmPowerRealInt:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      value.fvalue = powerRealInt(attr, l.fvalue, r.ivalue);
      return;

    // ---- Comparisons
    case dbvmEqInt: case dbvmNeInt: case dbvmGtInt: case dbvmGeInt: case dbvmLtInt: case dbvmLeInt: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      int8 a = l.ivalue, b = r.ivalue;
      const bool results[] = {a == b, a != b, a > b, a >= b, a < b, a <= b};
      value.bvalue = results[cop - dbvmEqInt];
      return;
    }
    case dbvmEqReal: case dbvmNeReal: case dbvmGtReal: case dbvmGeReal: case dbvmLtReal: case dbvmLeReal: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      real8 a = l.fvalue, b = r.fvalue;
      const bool results[] = {a == b, a != b, a > b, a >= b, !(a >= b), !(a > b)};
      value.bvalue = results[cop - dbvmEqReal];
      return;
    }
    case dbvmEqString: case dbvmNeString: case dbvmGtString: case dbvmGeString: case dbvmLtString:
    case dbvmLeString: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      int c = strcmp(l.str.base, r.str.base);
      const bool results[] = {c == 0, c != 0, c > 0, c >= 0, c < 0, c <= 0};
      value.bvalue = results[cop - dbvmEqString];
      return;
    }
    case dbvmEqBinary: case dbvmNeBinary: case dbvmGtBinary: case dbvmGeBinary: case dbvmLtBinary:
    case dbvmLeBinary: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      int c = compareRaw(node, l, r);
      const bool results[] = {c == 0, c != 0, c >= 1, c >= 0, c < 0, c < 1};
      value.bvalue = results[cop - dbvmEqBinary];
      return;
    }
    case dbvmEqBool:
    case dbvmNeBool:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      value.bvalue = (l.bvalue == r.bvalue) == (cop == dbvmEqBool);
      return;
    case dbvmEqReference:
    case dbvmNeReference:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      value.bvalue = (l.oid == r.oid) == (cop == dbvmEqReference);
      return;

    // BETWEEN: the upper bound is evaluated only when the value reaches the lower.
    case dbvmBetweenInt:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      if (l.ivalue < r.ivalue) {
        value.bvalue = 0;
        return;
      }
      dbEvaluate(node->operand[2], attr, r2);
      value.bvalue = l.ivalue <= r2.ivalue;
      return;
    case dbvmBetweenReal:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      if (l.fvalue < r.fvalue) {
        value.bvalue = 0;
        return;
      }
      dbEvaluate(node->operand[2], attr, r2);
      value.bvalue = !(l.fvalue > r2.fvalue);
      return;
    case dbvmBetweenString:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      if (strcmp(l.str.base, r.str.base) < 0) {
        value.bvalue = 0;
        return;
      }
      dbEvaluate(node->operand[2], attr, r2);
      value.bvalue = strcmp(l.str.base, r2.str.base) <= 0;
      return;
    case dbvmBetweenBinary:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      if (compareRaw(node, l, r) < 0) {
        value.bvalue = 0;
        return;
      }
      dbEvaluate(node->operand[2], attr, r2);
      value.bvalue = compareRaw(node, l, r2) < 1;
      return;

    // ---- Strings
    case dbvmLikeString:
    case dbvmLikeEscapeString:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      if (cop == dbvmLikeEscapeString) dbEvaluate(node->operand[2], attr, r2);
      value.bvalue = matchLike(l.str.base, r.str.base, cop == dbvmLikeEscapeString ? r2.str.base[0] : '\0');
      return;
    case dbvmStringLength:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = l.str.size - 1;
      return;
    case dbvmGetArrayLength:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = l.array.size;
      return;
    case dbvmCharAt:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      checkIndex(node->operand[1], r.ivalue, l.str.size - 1, attr);
      value.ivalue = static_cast<byte>(l.str.base[r.ivalue]);
      return;
    case dbvmGetAt:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      checkIndex(node->operand[1], r.ivalue, l.array.size, attr);
      value.address = l.array.base + r.ivalue * node->offs;
      value.record = l.record;
      return;
    case dbvmStringUpper:
    case dbvmStringLower: {
      dbEvaluate(node->operand[0], attr, l);
      char* s = attr.allocateString(l.str.size);
      for (nat4 i = 0; i < l.str.size; i++) {
        int c = static_cast<byte>(l.str.base[i]);
        s[i] = static_cast<char>(cop == dbvmStringUpper ? toupper(c) : tolower(c));
      }
      value.str.base = s;
      value.str.size = l.str.size;
      return;
    }
    case dbvmStringConcat: {
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      nat4 size = l.str.size + r.str.size - 1;
      char* s = attr.allocateString(size);
      memcpy(s, l.str.base, l.str.size - 1);
      memcpy(s + l.str.size - 1, r.str.base, r.str.size);
      value.str.base = s;
      value.str.size = size;
      return;
    }
    case dbvmIntToString:
    case dbvmRealToString: {
      dbEvaluate(node->operand[0], attr, l);
      int n = cop == dbvmIntToString ? snprintf(nullptr, 0, "%lld", static_cast<long long>(l.ivalue))
                                     : snprintf(nullptr, 0, "%f", l.fvalue);
      char* s = attr.allocateString(n + 1);
      if (cop == dbvmIntToString) {
        snprintf(s, n + 1, "%lld", static_cast<long long>(l.ivalue));
      } else {
        snprintf(s, n + 1, "%f", l.fvalue);
      }
      value.str.base = s;
      value.str.size = n + 1;
      return;
    }
    case dbvmInString:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      value.bvalue = inString(l, r);
      return;
    case dbvmInArrayBool: case dbvmInArrayInt1: case dbvmInArrayInt2: case dbvmInArrayInt4: case dbvmInArrayInt8:
    case dbvmInArrayReal4: case dbvmInArrayReal8: case dbvmInArrayString: case dbvmInArrayReference:
      dbEvaluate(node->operand[0], attr, l);
      dbEvaluate(node->operand[1], attr, r);
      value.bvalue = inArray(cop - dbvmInArrayBool, l, r);
      return;

    // ---- Conversions
    case dbvmIntToReal:
      dbEvaluate(node->operand[0], attr, l);
      value.fvalue = static_cast<real8>(l.ivalue);
      return;
    case dbvmRealToInt:
      dbEvaluate(node->operand[0], attr, l);
      value.ivalue = realToInt(l.fvalue);
      return;
    case dbvmIntToReference:
      dbEvaluate(node->operand[0], attr, l);
      value.oid = static_cast<oid_t>(l.ivalue);
      return;

    // ---- References
    case dbvmDeref:
      dbEvaluate(node->operand[0], attr, l);
      if (l.oid == 0) runtimeError(attr, NullReference, nullptr);
      value.address = attr.db->getRow(l.oid);
      value.record = value.address;
      return;

    // ---- EXISTS
    case dbvmExists: {
      // The variable is used only as an index, so an iteration whose body
      // indexed nothing with it computed values that do not depend on it:
      // every later iteration would repeat it exactly. The loop therefore
      // ends with false at the first such iteration, as it does when an
      // index runs past the end of its array, and so never runs longer than
      // the longest array or string the body indexes.
      dbInheritedAttribute::ExistsState& state = attr.existsState[node->offs];
      state.index = 0;
      try {
        for (;;) {
          state.used = false;
          dbEvaluate(node->operand[0], attr, l);
          if (l.bvalue != 0) {
            value.bvalue = 1;
            return;
          }
          if (!state.used) break;
          state.index++;
        }
      } catch (dbExistsExhausted& e) {
        if (e.level != node->offs) throw;
      }
      value.bvalue = 0;
      return;
    }
    case dbvmVariable: value.ivalue = attr.existsState[node->offs].index; return;

    default:
      // Lists are meaningful only while compiling IN.
      dbThrowInternalError();
  }
}

bool dbTestRecord(dbDatabase* db, dbExprNode* condition, oid_t oid, byte* tableRow, dbAnyCursor* cursor) {
  byte* parameterBase = cursor != nullptr ? static_cast<byte*>(cursor->getParameterBase()) : nullptr;
  dbInheritedAttribute attr(db, db->getRow(oid), oid, tableRow, parameterBase);
  dbExprValue value;
  dbEvaluate(condition, attr, value);
  return value.bvalue != 0;
}
