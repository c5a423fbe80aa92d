// Interim evaluation: until the expression evaluator lands and replaces this
// file whole, no caller hands the index searches a condition, and testing a
// record against one is an internal consistency failure.
#include "engine/query/evaluator.h"

#include "engine/exception.h"

bool dbTestRecord(dbDatabase*, dbExprNode*, oid_t, byte*, dbAnyCursor*) { dbThrowInternalError(); }
