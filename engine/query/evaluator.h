// Evaluation of compiled expressions against stored records, read in place
// in the mapped file.
//
// One recursive function computes a node into a dbExprValue, evaluating
// operands left to right. Run-time errors (division by zero, zero raised to a
// negative power, complex powers, an index out of range, a null reference)
// go through the database's error handler and leave by dbException; the
// temporary strings of the record test are released first.
#pragma once

#include <cstddef>

#include "engine/query/expr_node.h"
#include "engine/types.h"

class dbDatabase;
class dbAnyCursor;

// The value of one node.
struct dbExprValue {
  union {
    int8 ivalue;
    real8 fvalue;
    int4 bvalue;  // booleans: non-zero is true
    oid_t oid;    // references: 0 is null
    byte* address;  // a record, a structure or an array element
    struct {
      char* base;
      nat4 size;  // terminator included
    } str;
    struct {
      byte* base;
      nat4 size;  // elements
    } array;
  };
  // For addresses and arrays: the stored record they lie in. The texts and
  // arrays inside a record are found at offsets from its start.
  byte* record = nullptr;
};

// The context of one record test.
class dbInheritedAttribute {
 public:
  static constexpr size_t scratchSize = 8192;
  static constexpr int maxExistsLevels = 3;

  byte* record;       // the stored record being tested
  oid_t oid;          // its identifier, the value of CURRENT
  byte* tableRow;     // the stored row of its table: FIRST and LAST
  dbDatabase* db;
  byte* parameterBase;  // null when parameters hold absolute addresses
  size_t scratchUsed = 0;

  // Per EXISTS nesting level: the current value of its variable, and whether
  // the running iteration indexed an array or string with it.
  struct ExistsState {
    int8 index;
    bool used;
  } existsState[maxExistsLevels];

  dbInheritedAttribute(dbDatabase* db, byte* record, oid_t oid, byte* tableRow, byte* parameterBase)
      : record(record), oid(oid), tableRow(tableRow), db(db), parameterBase(parameterBase) {}
  ~dbInheritedAttribute() { releaseStrings(); }
  dbInheritedAttribute(const dbInheritedAttribute&) = delete;
  dbInheritedAttribute& operator=(const dbInheritedAttribute&) = delete;

  // Room for a temporary string of n bytes: in the scratch area while it has
  // room, otherwise in a heap block kept until the context goes.
  char* allocateString(size_t n);
  // Frees the overflow blocks and empties the scratch area.
  void releaseStrings();
  // Heap blocks currently held for strings that did not fit.
  int overflowCount() const;

 private:
  struct OverflowBlock {
    OverflowBlock* next;
  };
  OverflowBlock* overflowBlocks = nullptr;
  alignas(8) char scratch[scratchSize];
};

// Computes node for the context's record into value.
void dbEvaluate(dbExprNode* node, dbInheritedAttribute& attr, dbExprValue& value);

// Whether the record oid satisfies the condition. tableRow is the stored
// table record of the cursor's table (the source of FIRST and LAST); the
// cursor gives the parameter base (none without a cursor). Run-time errors
// throw dbException.
bool dbTestRecord(dbDatabase* db, dbExprNode* condition, oid_t oid, byte* tableRow, dbAnyCursor* cursor);
