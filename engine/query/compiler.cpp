// Interim compiler: accepts only the empty condition, until the compiler of
// the condition language lands and replaces this file whole.
#include "engine/query/compiler.h"

#include <cctype>

#include "engine/database.h"

bool dbQueryCompiler::compile(dbDatabase* db, dbTableDescriptor* table, dbQuery& query) {
  query.destroy();
  for (dbQueryElement* e = query.getElements(); e != nullptr; e = e->next) {
    bool blank = e->kind == qText;
    for (const char* p = static_cast<const char*>(e->ptr); blank && *p; p++) blank = isspace(static_cast<byte>(*p));
    if (!blank) {
      db->handleError(QueryError, "operand expected", 0);
      return false;
    }
  }
  query.tree = new dbExprNode(dbvmVoid);
  query.table = table;
  return true;
}
