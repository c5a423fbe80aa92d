#include "engine/query/index_search.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/database.h"
#include "engine/field_descriptor.h"
#include "engine/hash_table.h"
#include "engine/index_key.h"
#include "engine/query/cursor.h"
#include "engine/query/expr_node.h"
#include "engine/table_descriptor.h"
#include "engine/ttree.h"

dbSelectStatistics& dbSelectStatistics::ofThisThread() {
  thread_local dbSelectStatistics statistics;
  return statistics;
}

namespace {

int compareIdentifiers(const void* a, const void* b, size_t) {
  oid_t x = readAt<oid_t>(static_cast<const byte*>(a));
  oid_t y = readAt<oid_t>(static_cast<const byte*>(b));
  return x < y ? -1 : x == y ? 0 : 1;
}

bool isSelfLoad(const dbExprNode* n) { return n->cop >= dbvmLoadSelfBool && n->cop <= dbvmLoadSelfRawBinary; }

// One key converted to the field's stored type: a value in the slot, or the
// address of a text or raw value.
struct dbKey {
  union {
    nat1 b;
    int1 i1;
    int2 i2;
    int4 i4;
    int8 i8;
    real4 f4;
    real8 f8;
    oid_t oid;
  } slot;
  const void* address = nullptr;  // texts and raw values

  dbKey() { memset(&slot, 0, sizeof slot); }
  const void* key() const { return address != nullptr ? address : &slot; }
};

byte* parameterAddress(const dbExprNode* n, const dbAnyCursor* cursor) {
  byte* p = static_cast<byte*>(n->var);
  byte* base = static_cast<byte*>(cursor->getParameterBase());
  return base != nullptr ? base + reinterpret_cast<uintptr_t>(p) : p;
}

// Reads a constant or parameter key for field fd. False when the node is
// neither, or when its value has no exact image in the field's type: an
// index search with a truncated or rounded key would answer another question.
bool readKey(const dbExprNode* n, const dbFieldDescriptor* fd, const dbAnyCursor* cursor, dbKey& key) {
  enum { none, integer, real, text, boolean, reference, raw } kind = none;
  int8 ivalue = 0;
  real8 fvalue = 0;
  const char* svalue = nullptr;
  switch (n->cop) {
    case dbvmVariableBool: kind = boolean, ivalue = *parameterAddress(n, cursor) != 0; break;
    case dbvmTrue: kind = boolean, ivalue = 1; break;
    case dbvmFalse: kind = boolean, ivalue = 0; break;
    case dbvmVariableInt1: kind = integer, ivalue = readAt<int1>(parameterAddress(n, cursor)); break;
    case dbvmVariableInt2: kind = integer, ivalue = readAt<int2>(parameterAddress(n, cursor)); break;
    case dbvmVariableInt4: kind = integer, ivalue = readAt<int4>(parameterAddress(n, cursor)); break;
    case dbvmVariableInt8: kind = integer, ivalue = readAt<int8>(parameterAddress(n, cursor)); break;
    case dbvmLoadIntConstant: kind = integer, ivalue = n->ivalue; break;
    case dbvmVariableReal4: kind = real, fvalue = readAt<real4>(parameterAddress(n, cursor)); break;
    case dbvmVariableReal8: kind = real, fvalue = readAt<real8>(parameterAddress(n, cursor)); break;
    case dbvmLoadRealConstant: kind = real, fvalue = n->fvalue; break;
    case dbvmVariableStrArray: kind = text, svalue = reinterpret_cast<const char*>(parameterAddress(n, cursor)); break;
    case dbvmVariableStrPtr: kind = text, svalue = readAt<const char*>(parameterAddress(n, cursor)); break;
    case dbvmLoadStringConstant: kind = text, svalue = n->svalue.str; break;
    case dbvmVariableReference: kind = reference, ivalue = readAt<oid_t>(parameterAddress(n, cursor)); break;
    case dbvmVariableRawBinary: kind = raw; break;
    default: return false;
  }
  auto fits = [&](int8 lo, int8 hi) { return kind == integer && ivalue >= lo && ivalue <= hi; };
  switch (fd->storedType) {
    case tpBool:
      if (kind != boolean) return false;
      key.slot.b = static_cast<nat1>(ivalue);
      return true;
    case tpInt1:
      if (!fits(INT8_MIN, INT8_MAX)) return false;
      key.slot.i1 = static_cast<int1>(ivalue);
      return true;
    case tpInt2:
      if (!fits(INT16_MIN, INT16_MAX)) return false;
      key.slot.i2 = static_cast<int2>(ivalue);
      return true;
    case tpInt4:
      if (!fits(INT32_MIN, INT32_MAX)) return false;
      key.slot.i4 = static_cast<int4>(ivalue);
      return true;
    case tpInt8:
      if (kind != integer) return false;
      key.slot.i8 = ivalue;
      return true;
    case tpReal4:
      if (kind != real || static_cast<real8>(static_cast<real4>(fvalue)) != fvalue) return false;
      key.slot.f4 = static_cast<real4>(fvalue);
      return true;
    case tpReal8:
      if (kind != real || std::isnan(fvalue)) return false;
      key.slot.f8 = fvalue;
      return true;
    case tpString:
      if (kind != text || svalue == nullptr) return false;
      key.address = svalue;
      return true;
    case tpReference:
      if (kind != reference) return false;
      key.slot.oid = static_cast<oid_t>(ivalue);
      return true;
    case tpRawBinary:
      if (kind != raw) return false;
      key.address = parameterAddress(n, cursor);
      return true;
    default:
      return false;
  }
}

void noteTreeSearch(const dbKeyRange& range) {
  dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
  s.treeSearches += 1;
  s.lastHasLow = range.firstKey != nullptr;
  s.lastHasHigh = range.lastKey != nullptr;
  s.lastLowInclusive = range.firstKeyInclusive;
  s.lastHighInclusive = range.lastKeyInclusive;
  s.lastFiltered = range.condition != nullptr;
  bool texts = range.type == tpString;
  s.lastLow = texts && range.firstKey ? static_cast<const char*>(range.firstKey) : "";
  s.lastHigh = texts && range.lastKey ? static_cast<const char*>(range.lastKey) : "";
}

void hashSearch(dbDatabase* db, oid_t hashIndex, dbKeyRange& range) {
  dbHashTable::find(db, hashIndex, range);
  dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
  s.hashSearches += 1;
  s.probes += range.probes;
}

void treeSearch(dbDatabase* db, oid_t treeIndex, dbKeyRange& range) {
  noteTreeSearch(range);
  dbTtree::find(db, treeIndex, range);
  dbSelectStatistics::ofThisThread().probes += range.probes;
}

// Equality: the hash index when the field has one, else the T-tree.
void equalitySearch(dbDatabase* db, const dbFieldDescriptor* fd, dbKeyRange& range, const void* key) {
  range.firstKey = range.lastKey = key;
  range.firstKeyInclusive = range.lastKeyInclusive = true;
  if (fd->hashIndex != 0) {
    hashSearch(db, fd->hashIndex, range);
  } else {
    treeSearch(db, fd->treeIndex, range);
  }
}

// The least text above every text that starts with prefix, or false when
// there is none (the prefix is all 255 bytes). Trailing 255 bytes cannot be
// raised, so they go and the byte before them is raised.
bool prefixSuccessor(std::string prefix, std::string& successor) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 255) prefix.pop_back();
  if (prefix.empty()) return false;
  prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
  successor = prefix;
  return true;
}

bool likeSearch(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* cmp, dbExprNode* andNode, dbKeyRange& range) {
  dbExprNode* left = cmp->operand[0];
  dbFieldDescriptor* fd = left->ref.field;
  dbKey pattern;
  if (!readKey(cmp->operand[1], fd, cursor, pattern)) return false;
  const char* p = static_cast<const char*>(pattern.address);
  char escape = cmp->cop == dbvmLikeEscapeString ? cmp->operand[2]->svalue.str[0] : '\0';
  size_t len = strlen(p);
  size_t pos = 0;
  while (pos < len && p[pos] != '%' && p[pos] != '_' && (escape == '\0' || p[pos] != escape)) pos++;
  if (pos == len) {
    equalitySearch(db, fd, range, p);
    return true;
  }
  if ((pos == 0 && len > 1) || fd->treeIndex == 0) return false;
  if (pos == 0) {
    if (p[0] != '%') return false;
    treeSearch(db, fd->treeIndex, range);
    return true;
  }
  std::string low(p, pos), high;
  range.firstKey = low.c_str();
  range.firstKeyInclusive = true;
  if (prefixSuccessor(low, high)) {
    range.lastKey = high.c_str();
    range.lastKeyInclusive = false;
  }
  if (pos + 1 == len && p[pos] == '%') {
    treeSearch(db, fd->treeIndex, range);
    return true;
  }
  // The range holds candidates only: the LIKE is tested again on each, loading
  // the field from the candidate itself.
  if (andNode != nullptr) {
    range.condition = andNode;
  } else if (isSelfLoad(left)) {
    range.condition = cmp;
  } else {
    auto* self = new dbExprNode(dbvmLoadSelfString, nullptr, fd, static_cast<nat2>(fd->storedOffset), etString);
    dbExprNode recheck(cmp->cop, self, cmp->operand[1], cmp->operand[2]);
    range.condition = &recheck;
    struct Detach {
      dbExprNode& n;
      ~Detach() { n.operand[1] = n.operand[2] = nullptr; }  // the pattern and escape stay with cmp
    } detach{recheck};
    treeSearch(db, fd->treeIndex, range);
    return true;
  }
  treeSearch(db, fd->treeIndex, range);
  return true;
}

bool keysEqual(const dbFieldDescriptor* fd, const dbKey& a, const dbKey& b) {
  switch (fd->storedType) {
    case tpString: return strcmp(static_cast<const char*>(a.address), static_cast<const char*>(b.address)) == 0;
    case tpRawBinary: return memcmp(a.address, b.address, fd->storedSize) == 0;
    default: return memcmp(&a.slot, &b.slot, sizeof a.slot) == 0;
  }
}

// The fields, from the comparison's field down to the record being tested,
// whose inverse references lead back to the records of this table.
bool inversePath(const dbExprNode* load, int existsLevels, std::vector<const dbFieldDescriptor*>& steps) {
  const dbExprNode* n = load->ref.base;
  int variable = existsLevels - 1;  // the innermost EXISTS first
  for (;;) {
    switch (n->cop) {
      case dbvmDeref:
        n = n->operand[0];
        continue;
      case dbvmLoadReference:
        if (n->ref.base->cop == dbvmGetAt) {  // an element of an array of references
          n = n->ref.base;
          continue;
        }
        [[fallthrough]];
      case dbvmLoadSelfReference:
        if (n->ref.field->inverseField == nullptr) return false;
        steps.push_back(n->ref.field);
        if (n->cop == dbvmLoadSelfReference) return true;
        n = n->ref.base;
        continue;
      case dbvmGetAt: {
        const dbExprNode* index = n->operand[1];
        const dbExprNode* array = n->operand[0];
        if (index->cop != dbvmVariable || index->offs != variable) return false;
        variable -= 1;
        if (array->cop != dbvmLoadArray && array->cop != dbvmLoadSelfArray) return false;
        if (array->ref.field->inverseField == nullptr) return false;
        steps.push_back(array->ref.field);
        if (array->cop == dbvmLoadSelfArray) return true;
        n = array->ref.base;
        continue;
      }
      default:
        return false;
    }
  }
}

// From a record found at path step k, along the inverse references to the
// records of the cursor's table. False when the cursor wants no more.
bool walkBack(dbDatabase* db, dbAnyCursor* cursor, const std::vector<const dbFieldDescriptor*>& steps, size_t k,
              oid_t found, dbExprNode* filter) {
  const dbFieldDescriptor* inverse = steps[k]->inverseField;
  const byte* rec = db->getRow(found);
  const byte* slot = rec + inverse->storedOffset;
  std::vector<oid_t> referrers;
  if (inverse->storedType == tpArray) {
    nat4 count = readAt<nat4>(slot);
    const byte* items = rec + readAt<nat4>(slot + 4);
    for (nat4 i = 0; i < count; i++) referrers.push_back(readAt<oid_t>(items + 4 * i));
  } else {
    referrers.push_back(readAt<oid_t>(slot));
  }
  for (oid_t referrer : referrers) {
    if (referrer == 0) continue;
    bool more = k + 1 == steps.size() ? dbHandToCursor(db, cursor, filter, referrer)
                                      : walkBack(db, cursor, steps, k + 1, referrer, filter);
    if (!more) return false;
  }
  return true;
}

// A view-only cursor that collects the records of the field's own table
// that the comparison finds.
struct dbFoundRecords {
  dbAnyCursor cursor;
  dbFoundRecords(dbAnyCursor* owner, dbFieldDescriptor* fd) : cursor(*fd->ownerTable, dbViewOnly, nullptr) {
    cursor.setParameterBase(owner->getParameterBase());
  }
  template <class F>
  bool forEach(F f) {
    for (dbSelection::segment* seg = cursor.getSelection().first; seg != nullptr; seg = seg->next) {
      for (nat4 i = 0; i < seg->count; i++) {
        if (!f(seg->rows[i])) return false;
      }
    }
    return true;
  }
};

}  // namespace

bool searchIndex(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* cmp, dbExprNode* andNode) {
  dbFieldDescriptor* fd = cmp->operand[0]->ref.field;
  dbKeyRange range;
  range.cursor = cursor;
  range.condition = andNode != nullptr ? andNode->operand[1] : nullptr;
  range.type = fd->storedType;
  range.keySize = static_cast<int>(fd->storedSize);
  range.offset = static_cast<int>(fd->storedOffset);
  range.comparator = fd->compare;
  range.probes = 0;
  dbKey key, high;
  switch (cmp->cop) {
    case dbvmEqInt: case dbvmEqReal: case dbvmEqString: case dbvmEqReference: case dbvmEqBinary:
      if (!readKey(cmp->operand[1], fd, cursor, key)) return false;
      equalitySearch(db, fd, range, key.key());
      return true;
    case dbvmGtInt: case dbvmGeInt: case dbvmGtReal: case dbvmGeReal: case dbvmGtString: case dbvmGeString:
    case dbvmGtBinary: case dbvmGeBinary:
      if (fd->treeIndex == 0 || !readKey(cmp->operand[1], fd, cursor, key)) return false;
      range.firstKey = key.key();
      range.firstKeyInclusive = cmp->cop == dbvmGeInt || cmp->cop == dbvmGeReal || cmp->cop == dbvmGeString ||
                                cmp->cop == dbvmGeBinary;
      range.lastKey = nullptr;
      treeSearch(db, fd->treeIndex, range);
      return true;
    case dbvmLtInt: case dbvmLeInt: case dbvmLtReal: case dbvmLeReal: case dbvmLtString: case dbvmLeString:
    case dbvmLtBinary: case dbvmLeBinary:
      if (fd->treeIndex == 0 || !readKey(cmp->operand[1], fd, cursor, key)) return false;
      range.firstKey = nullptr;
      range.lastKey = key.key();
      range.lastKeyInclusive = cmp->cop == dbvmLeInt || cmp->cop == dbvmLeReal || cmp->cop == dbvmLeString ||
                               cmp->cop == dbvmLeBinary;
      treeSearch(db, fd->treeIndex, range);
      return true;
    case dbvmBetweenInt: case dbvmBetweenReal: case dbvmBetweenString: case dbvmBetweenBinary:
      if (!readKey(cmp->operand[1], fd, cursor, key) || !readKey(cmp->operand[2], fd, cursor, high)) return false;
      if (fd->hashIndex != 0 && keysEqual(fd, key, high)) {
        range.firstKey = range.lastKey = key.key();
        hashSearch(db, fd->hashIndex, range);
        return true;
      }
      if (fd->treeIndex == 0) return false;
      range.firstKey = key.key();
      range.lastKey = high.key();
      range.firstKeyInclusive = range.lastKeyInclusive = true;
      treeSearch(db, fd->treeIndex, range);
      return true;
    case dbvmLikeString:
    case dbvmLikeEscapeString:
      return likeSearch(db, cursor, cmp, andNode, range);
    default:
      return false;
  }
}

bool isIndexApplicable(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* cmp, dbExprNode* andNode,
                       dbFieldDescriptor*& decidingField) {
  int existsLevels = 0;
  while (cmp->cop == dbvmExists) {
    cmp = cmp->operand[0];
    existsLevels += 1;
  }
  if (cmp->operandCount() < 2) return false;
  dbExprNode* load = cmp->operand[0];
  if (load->cop > dbvmLoadSelfRawBinary) return false;
  dbFieldDescriptor* fd = load->ref.field;
  if (fd->hashIndex == 0 && fd->treeIndex == 0) return false;
  if (isSelfLoad(load)) {
    if (!searchIndex(db, cursor, cmp, andNode)) return false;
    decidingField = fd;
    return true;
  }
  // Below a base, the records come in the order of another table's records:
  // no field of this table decides it.
  dbExprNode* filter = andNode != nullptr ? andNode->operand[1] : nullptr;
  std::vector<const dbFieldDescriptor*> steps;
  if (inversePath(load, existsLevels, steps)) {
    dbFoundRecords found(cursor, fd);
    if (!searchIndex(db, &found.cursor, cmp, nullptr)) return false;
    decidingField = nullptr;
    cursor->prepareDuplicateCheck();
    found.forEach([&](oid_t oid) { return walkBack(db, cursor, steps, 0, oid, filter); });
    return true;
  }
  const dbExprNode* base = load->ref.base;
  if (base->cop != dbvmDeref || base->operand[0]->cop != dbvmLoadSelfReference) return false;
  dbFieldDescriptor* ref = base->operand[0]->ref.field;
  if (ref->hashIndex == 0 && ref->treeIndex == 0) return false;
  dbFoundRecords found(cursor, fd);
  if (!searchIndex(db, &found.cursor, cmp, nullptr)) return false;
  decidingField = nullptr;
  found.forEach([&](oid_t target) {
    dbKeyRange range;
    range.cursor = cursor;
    range.condition = filter;
    range.type = tpReference;
    range.keySize = sizeof(oid_t);
    range.offset = static_cast<int>(ref->storedOffset);
    range.comparator = compareIdentifiers;
    range.firstKey = range.lastKey = &target;
    range.firstKeyInclusive = range.lastKeyInclusive = true;
    range.probes = 0;
    if (ref->hashIndex != 0) {
      hashSearch(db, ref->hashIndex, range);
    } else {
      treeSearch(db, ref->treeIndex, range);
    }
    return cursor->getNumberOfRecords() < cursor->getMaxRecords();
  });
  return true;
}
