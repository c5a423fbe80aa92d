// The compiler of the condition language: turns the text of a dbQuery into
// an expression tree for one table, with its START FROM, FOLLOW BY and ORDER
// BY clauses. Every thread has its own compiler (in its database context).
#pragma once

#include "engine/query/query.h"

class dbDatabase;
class dbTableDescriptor;

class dbQueryCompiler {
 public:
  // Returns true when query.tree now holds a boolean or empty condition for
  // table. Otherwise the first error went to db's error handler (class
  // QueryError, with its position) and the query is left uncompiled.
  bool compile(dbDatabase* db, dbTableDescriptor* table, dbQuery& query);
};
