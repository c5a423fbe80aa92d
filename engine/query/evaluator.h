// Evaluation of compiled expressions against stored records, read in place
// in the mapped file.
#pragma once

#include "engine/query/expr_node.h"
#include "engine/types.h"

class dbDatabase;
class dbAnyCursor;

// Whether the record oid satisfies the condition. tableRow is the stored
// table record of the cursor's table (the source of FIRST and LAST); the
// cursor gives the parameter base. Run-time errors throw dbException.
bool dbTestRecord(dbDatabase* db, dbExprNode* condition, oid_t oid, byte* tableRow, dbAnyCursor* cursor);
