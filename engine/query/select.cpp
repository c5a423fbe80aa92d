// Selection: fills a cursor from a compiled query: compilation for the
// cursor's table, the transaction, the whole-table select of the empty
// condition, and the sequential scan of the table's row list.
//
// The frame does not yet search indices, walk START FROM graphs, scan in
// parallel or sort: every condition is answered by the sequential scan, in
// storage order, and START FROM and ORDER BY clauses have no effect on it.
#include "engine/query/compiler.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "engine/table_record.h"

namespace {

// Tests every row from the table's first along the row list and adds those
// that satisfy the condition, until the list ends or the cursor refuses more.
void sequentialScan(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition) {
  byte* tableRow = db->getRow(cursor->getTable()->tableId);
  if (cursor->getNumberOfRecords() >= cursor->getMaxRecords()) return;
  oid_t oid = dbTableOf(tableRow)->firstRow;
  while (oid != 0) {
    if (dbTestRecord(db, condition, oid, tableRow, cursor) && !cursor->add(oid)) return;
    oid = reinterpret_cast<dbRecord*>(db->getRow(oid))->next;
  }
}

}  // namespace

void dbDatabase::select(dbAnyCursor* cursor, dbQuery& query) {
  dbCheck(opened);
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbCheck(ctx != nullptr);
  {
    dbCriticalSection cs(query.getMutex());
    if (!query.compiled() || query.table != cursor->getTable()) {
      // A failed compilation reported its error; the cursor stays empty.
      if (!ctx->getCompiler().compile(this, cursor->getTable(), query)) return;
    }
  }
  cursor->beginTransaction();
  dbExprNode* condition = query.tree;
  if (condition->cop == dbvmVoid && query.order == nullptr) {
    cursor->selectWholeTable();
    cursor->linkToThread();
    return;
  }
  cursor->linkToThread();
  sequentialScan(this, cursor, condition);
}
