// Selection: fills a cursor from a compiled query. The order of decisions:
// a START FROM graph walk; the whole table for the empty condition; CURRENT
// equal to a reference parameter; an OR chain or the left conjunct of an AND
// answered from indices (index_search.h); an ORDER BY on one T-tree-indexed
// field walked in the tree's order; otherwise a scan of the table's row
// list, in several threads for large tables without a limit, sorted for
// ORDER BY (sort.h) afterwards.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "engine/query/compiler.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "engine/query/index_search.h"
#include "engine/query/sort.h"
#include "engine/table_record.h"
#include "engine/ttree.h"

namespace {

constexpr nat4 parallelScanMinRows = 1000;

bool isVoid(const dbExprNode* condition) { return condition->cop == dbvmVoid; }

bool satisfies(dbDatabase* db, dbExprNode* condition, oid_t oid, byte* tableRow, dbAnyCursor* cursor) {
  return isVoid(condition) || dbTestRecord(db, condition, oid, tableRow, cursor);
}

oid_t nextRow(dbDatabase* db, oid_t oid) { return reinterpret_cast<dbRecord*>(db->getRow(oid))->next; }

dbSortContext sortContextOf(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query) {
  return {db, query.order, db->getRow(cursor->getTable()->tableId), static_cast<byte*>(cursor->getParameterBase())};
}

void sortByQuery(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query) {
  dbSortContext context = sortContextOf(db, cursor, query);
  if (cursor->getNumberOfRecords() > 1) dbSelectStatistics::ofThisThread().sorts += 1;
  sortSelection(cursor->getSelection(), context);
}

bool limitAllows(const dbAnyCursor* cursor) { return cursor->getNumberOfRecords() < cursor->getMaxRecords(); }

// Tests every row from the table's first along the row list and adds those
// that satisfy the condition, until the list ends or the cursor refuses more.
void sequentialScan(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition) {
  dbSelectStatistics::ofThisThread().sequentialScans += 1;
  byte* tableRow = db->getRow(cursor->getTable()->tableId);
  if (!limitAllows(cursor)) return;
  oid_t oid = dbTableOf(tableRow)->firstRow;
  while (oid != 0) {
    if (satisfies(db, condition, oid, tableRow, cursor) && !cursor->add(oid)) return;
    oid = nextRow(db, oid);
  }
}

// ---- START FROM ... FOLLOW BY

// Pending records of a graph walk.
class dbWalkStack {
 public:
  dbWalkStack() { items.reserve(1024); }
  // Makes room for n more; a stack too small for them grows to twice the
  // larger of its capacity and n.
  void reserve(size_t n) {
    if (items.size() + n > items.capacity()) items.reserve(2 * std::max(items.capacity(), n));
  }
  void push(oid_t oid) {
    reserve(1);
    items.push_back(oid);
  }
  // The identifiers of an array, the first on top.
  void pushArray(const byte* elements, nat4 n, const dbAnyCursor* cursor) {
    reserve(n);
    for (nat4 i = n; i-- > 0;) {
      oid_t oid = readAt<oid_t>(elements + 4 * i);
      if (oid != 0 && !cursor->isMarked(oid)) items.push_back(oid);
    }
  }
  bool empty() const { return items.empty(); }
  oid_t pop() {
    oid_t oid = items.back();
    items.pop_back();
    return oid;
  }

 private:
  std::vector<oid_t> items;
};

void pushStart(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query, dbWalkStack& stack) {
  const dbTable* table = dbTableOf(db->getRow(cursor->getTable()->tableId));
  oid_t start = 0;
  switch (query.startFrom) {
    case dbCompiledQuery::StartFromFirst: start = table->firstRow; break;
    case dbCompiledQuery::StartFromLast: start = table->lastRow; break;
    case dbCompiledQuery::StartFromRef: start = readAt<oid_t>(static_cast<const byte*>(query.startFromPtr)); break;
    default: {
      const dbAnyArray* array = static_cast<const dbAnyArray*>(query.startFromPtr);
      if (query.startFrom == dbCompiledQuery::StartFromArrayPtr) array = *static_cast<dbAnyArray**>(query.startFromPtr);
      stack.pushArray(static_cast<const byte*>(array->base()), static_cast<nat4>(array->length()), cursor);
      return;
    }
  }
  if (start != 0) stack.push(start);
}

void graphWalk(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query) {
  dbWalkStack stack;
  pushStart(db, cursor, query, stack);
  cursor->prepareDuplicateCheck();
  byte* tableRow = db->getRow(cursor->getTable()->tableId);
  dbExprNode* condition = query.tree;
  while (!stack.empty()) {
    oid_t oid = stack.pop();
    if (satisfies(db, condition, oid, tableRow, cursor)) {
      if (!cursor->add(oid)) break;
    } else {
      cursor->mark(oid);
    }
    const byte* rec = db->getRow(oid);
    for (const dbFollowByNode* f = query.follow; f != nullptr; f = f->next) {
      const byte* slot = rec + f->field->storedOffset;
      if (f->field->storedType == tpArray) {
        stack.pushArray(rec + readAt<nat4>(slot + 4), readAt<nat4>(slot), cursor);
      } else {
        oid_t target = readAt<oid_t>(slot);
        if (target != 0 && !cursor->isMarked(target)) stack.push(target);
      }
    }
  }
  if (query.order != nullptr) sortByQuery(db, cursor, query);
}

// ---- Parallel scan

struct dbParallelScan {
  dbDatabase* db;
  dbExprNode* condition;
  oid_t firstRow;
  byte* tableRow;
  dbAnyCursor* cursor;
  dbSortContext sort;
  int nThreads;
  dbSelection selections[dbDatabase::dbMaxScanThreads];
  std::exception_ptr failures[dbDatabase::dbMaxScanThreads];
};

struct dbScanWorker {
  dbParallelScan* scan;
  int number;
};

// Worker i tests the records i, i + N, i + 2N, ... of the row list.
void scanStride(dbParallelScan& s, int i) {
  dbSelection& selection = s.selections[i];
  oid_t oid = s.firstRow;
  for (int k = 0; k < i && oid != 0; k++) oid = nextRow(s.db, oid);
  while (oid != 0) {
    if (satisfies(s.db, s.condition, oid, s.tableRow, s.cursor)) selection.add(oid);
    for (int k = 0; k < s.nThreads && oid != 0; k++) oid = nextRow(s.db, oid);
  }
  if (s.sort.order != nullptr) sortSelection(selection, s.sort);
}

// An evaluation error ends the worker; it is raised again on the selecting thread.
void scanWorker(void* arg) {
  auto* w = static_cast<dbScanWorker*>(arg);
  try {
    scanStride(*w->scan, w->number);
  } catch (...) {
    w->scan->failures[w->number] = std::current_exception();
  }
}

// Merges the sorted worker selections into the cursor's; on equal records
// the lower worker's comes first.
void mergeSelections(dbParallelScan& s) {
  struct Head {
    dbSelection::segment* seg;
    nat4 pos;
  } heads[dbDatabase::dbMaxScanThreads];
  for (int i = 0; i < s.nThreads; i++) heads[i] = {s.selections[i].first, 0};
  dbSelection& result = s.cursor->getSelection();
  for (;;) {
    int best = -1;
    for (int i = 0; i < s.nThreads; i++) {
      if (heads[i].seg == nullptr) continue;
      if (best < 0 || compareRecords(heads[i].seg->rows[heads[i].pos], heads[best].seg->rows[heads[best].pos],
                                     s.sort) < 0) {
        best = i;
      }
    }
    if (best < 0) break;
    Head& h = heads[best];
    result.add(h.seg->rows[h.pos]);
    if (++h.pos == h.seg->count) {
      dbSelection::segment* used = h.seg;
      h.seg = used->next;
      h.pos = 0;
      s.selections[best].first = h.seg;  // what remains, should a comparison throw
      delete used;
    }
  }
  for (int i = 0; i < s.nThreads; i++) s.selections[i].reset();
}

void parallelScan(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, dbQuery& query) {
  dbSelectStatistics::ofThisThread().parallelScans += 1;
  auto scan = std::make_unique<dbParallelScan>();
  scan->db = db;
  scan->condition = condition;
  scan->tableRow = db->getRow(cursor->getTable()->tableId);
  scan->firstRow = dbTableOf(scan->tableRow)->firstRow;
  scan->cursor = cursor;
  scan->sort = sortContextOf(db, cursor, query);
  scan->nThreads = std::min<int>(db->getScanThreads(), dbDatabase::dbMaxScanThreads);
  int n = scan->nThreads;
  dbScanWorker workers[dbDatabase::dbMaxScanThreads];
  dbPooledThread* threads[dbDatabase::dbMaxScanThreads];
  for (int i = 0; i < n; i++) workers[i] = {scan.get(), i};
  for (int i = 0; i < n - 1; i++) threads[i] = db->getThreadPool().create(scanWorker, &workers[i]);
  scanWorker(&workers[n - 1]);
  for (int i = 0; i < n - 1; i++) db->getThreadPool().join(threads[i]);
  for (int i = 0; i < n; i++) {
    if (scan->failures[i]) std::rethrow_exception(scan->failures[i]);
  }
  if (query.order != nullptr) {
    mergeSelections(*scan);
  } else {
    for (int i = 0; i < n; i++) cursor->getSelection().append(scan->selections[i]);
  }
}

// ---- Answers from indices

// After an index answered: the order it delivered stands when ORDER BY is
// that one field of this table, reversed for a descending one; any other
// ORDER BY sorts.
void orderIndexAnswer(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query, dbFieldDescriptor* decidingField,
                      bool wholeCondition) {
  dbOrderByNode* order = query.order;
  if (order == nullptr) return;
  if (wholeCondition && order->next == nullptr && decidingField != nullptr && order->field == decidingField &&
      decidingField->ownerTable == query.table) {
    if (!order->ascent) {
      reverseSelection(cursor->getSelection());
      dbSelectStatistics::ofThisThread().reversals += 1;
    }
    return;
  }
  sortByQuery(db, cursor, query);
}

// CURRENT = a reference parameter: the identifier the parameter holds.
bool currentEqualsParameter(const dbExprNode* c, const dbAnyCursor* cursor, oid_t& oid) {
  if (c->cop != dbvmEqReference) return false;
  const dbExprNode* param;
  if (c->operand[0]->cop == dbvmCurrent) {
    param = c->operand[1];
  } else if (c->operand[1]->cop == dbvmCurrent) {
    param = c->operand[0];
  } else {
    return false;
  }
  if (param->cop != dbvmVariableReference) return false;
  byte* address = static_cast<byte*>(param->var);
  if (byte* base = static_cast<byte*>(cursor->getParameterBase())) address = base + reinterpret_cast<uintptr_t>(address);
  oid = readAt<oid_t>(address);
  return true;
}

}  // namespace

dbThreadPool& dbDatabase::getThreadPool() { return threadPool; }

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
  if (query.startFrom != dbCompiledQuery::StartFromAny) {
    cursor->linkToThread();
    graphWalk(this, cursor, query);
    return;
  }
  if (isVoid(condition) && query.order == nullptr) {
    cursor->selectWholeTable();
    cursor->linkToThread();
    return;
  }
  oid_t current;
  if (currentEqualsParameter(condition, cursor, current)) {
    // A null reference is no record's identifier.
    if (current != 0) cursor->at(current);
    return;
  }
  cursor->linkToThread();
  dbFieldDescriptor* decidingField = nullptr;
  if (condition->cop != dbvmAndBool) {
    bool whole = true;
    if (condition->cop == dbvmOrBool) cursor->prepareDuplicateCheck();
    while (condition->cop == dbvmOrBool && limitAllows(cursor) &&
           isIndexApplicable(this, cursor, condition->operand[0], nullptr, decidingField)) {
      condition = condition->operand[1];
      whole = false;
    }
    if (limitAllows(cursor) && isIndexApplicable(this, cursor, condition, nullptr, decidingField)) {
      orderIndexAnswer(this, cursor, query, decidingField, whole);
      return;
    }
  } else if (isIndexApplicable(this, cursor, condition->operand[0], condition, decidingField)) {
    orderIndexAnswer(this, cursor, query, decidingField, true);
    return;
  }
  dbOrderByNode* order = query.order;
  if (order != nullptr && order->next == nullptr && order->field != nullptr && order->field->treeIndex != 0) {
    // Records an OR operand's index search already found are not in tree order.
    bool foundBefore = cursor->getNumberOfRecords() != 0;
    dbExprNode* filter = isVoid(condition) ? nullptr : condition;
    dbSelectStatistics::ofThisThread().treeTraversals += 1;
    if (order->ascent) {
      dbTtree::traverseForward(this, order->field->treeIndex, cursor, filter);
    } else {
      dbTtree::traverseBackward(this, order->field->treeIndex, cursor, filter);
    }
    if (foundBefore) sortByQuery(this, cursor, query);
    return;
  }
  const dbTable* table = dbTableOf(getRow(cursor->getTable()->tableId));
  if (cursor->getNumberOfRecords() == 0 && scanThreads > 1 && table->nRows >= parallelScanMinRows &&
      cursor->getMaxRecords() >= dbAnyCursor::defaultMaxRecords) {
    parallelScan(this, cursor, condition, query);
    return;
  }
  sequentialScan(this, cursor, condition);
  if (query.order != nullptr) sortByQuery(this, cursor, query);
}
