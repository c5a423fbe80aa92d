// Selection: fills a cursor from a compiled query. This unit holds the
// select's frame (compilation, transaction, whole-table select) and the
// sequential scan of the table's row list. Index searches, START FROM graph
// walks, the parallel scan and ORDER BY sorting are separate steps of the
// frame and each gets a function of its own here.
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
