// Interim selection: compiles the query and runs the whole-table select of
// the empty condition, until the selection machinery lands and replaces this
// file whole.
#include "engine/query/compiler.h"
#include "engine/query/cursor.h"

void dbDatabase::select(dbAnyCursor* cursor, dbQuery& query) {
  dbCheck(opened);
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbCheck(ctx != nullptr);
  {
    dbCriticalSection cs(query.getMutex());
    if (!query.compiled() || query.table != cursor->getTable()) {
      if (!ctx->getCompiler().compile(this, cursor->getTable(), query)) return;
    }
  }
  cursor->beginTransaction();
  cursor->selectWholeTable();
  cursor->linkToThread();
}
