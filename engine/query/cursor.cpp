#include "engine/query/cursor.h"

#include <cstring>

#include "engine/query/query.h"

// Fields of a stored table record read by cursors.
namespace {
constexpr size_t tableRowCount = 32;
constexpr size_t tableFirstRow = 40;
constexpr size_t tableLastRow = 44;

nat4 wordAt(const byte* rec, size_t offs) {
  nat4 w;
  memcpy(&w, rec + offs, 4);
  return w;
}
}  // namespace

// ---- dbSelection

void dbSelection::add(oid_t oid) {
  if (last == nullptr || last->count == segmentSize) {
    auto* seg = new segment;
    seg->prev = last;
    seg->next = nullptr;
    seg->count = 0;
    if (last) {
      last->next = seg;
    } else {
      first = seg;
    }
    last = seg;
  }
  last->rows[last->count++] = oid;
  count += 1;
}

void dbSelection::reset() {
  while (segment* seg = first) {
    first = seg->next;
    delete seg;
  }
  first = last = curr = nullptr;
  count = 0;
  pos = 0;
}

void dbSelection::append(dbSelection& other) {
  if (other.first == nullptr) return;
  if (last) {
    last->next = other.first;
    other.first->prev = last;
  } else {
    first = other.first;
  }
  last = other.last;
  count += other.count;
  other.first = other.last = other.curr = nullptr;
  other.count = 0;
  other.pos = 0;
}

void dbSelection::reverse() {
  for (segment* seg = first; seg != nullptr;) {
    segment* next = seg->next;
    std::swap(seg->next, seg->prev);
    for (nat4 i = 0, j = seg->count - 1; i < j; i++, j--) std::swap(seg->rows[i], seg->rows[j]);
    seg = next;
  }
  std::swap(first, last);
}

// ---- dbAnyCursor

dbAnyCursor::dbAnyCursor(dbTableDescriptor& desc, dbCursorType type, byte* object)
    : db(desc.database == dbTableDescriptor::everyDatabase() ? nullptr : desc.database),
      table(&desc),
      access(type),
      defaultAccess(type),
      record(object) {}

dbAnyCursor::~dbAnyCursor() { delete[] seenBitmap; }

void dbAnyCursor::bindToDatabase() {
  if (db == nullptr) {
    db = table->database;
    dbCheck(db != nullptr && db != dbTableDescriptor::everyDatabase());
  } else if (table->database != db) {
    dbTableDescriptor* own = db->findTable(table);
    dbCheck(own != nullptr);
    table = own;
  }
}

void dbAnyCursor::reset() {
  bindToDatabase();
  unlink();
  selection.reset();
  skipDuplicates = false;
  wholeTable = false;
  currentOid = 0;
  updating = false;
}

void dbAnyCursor::beginTransaction() {
  dbCheck(db->isOpen());
  dbCheck(db->beginTransaction(access == dbForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock));
}

void dbAnyCursor::linkToThread() {
  dbDatabaseThreadContext* ctx = db->getThreadContext();
  dbCheck(ctx != nullptr);
  ctx->cursors.link(this);
}

void dbAnyCursor::selectWholeTable() {
  const byte* tableRow = db->getRow(table->tableId);
  firstOid = wordAt(tableRow, tableFirstRow);
  lastOid = wordAt(tableRow, tableLastRow);
  selection.count = wordAt(tableRow, tableRowCount);
  wholeTable = true;
}

int dbAnyCursor::finishSelect() {
  if (gotoFirst() && fetchOnMove) fetch();
  return static_cast<int>(selection.count);
}

int dbAnyCursor::select() {
  access = defaultAccess;
  reset();
  beginTransaction();
  selectWholeTable();
  linkToThread();
  return finishSelect();
}

int dbAnyCursor::select(dbQuery& query, dbCursorType type, void* base) {
  access = type;
  reset();
  parameterBase = base;
  db->select(this, query);
  parameterBase = nullptr;
  return finishSelect();
}

int dbAnyCursor::select(const char* condition) {
  dbQuery query(condition);
  return select(query, defaultAccess);
}

bool dbAnyCursor::gotoFirst() {
  if (wholeTable) {
    currentOid = firstOid;
  } else {
    selection.curr = selection.first;
    selection.pos = 0;
    currentOid = selection.first ? selection.first->rows[0] : 0;
  }
  return currentOid != 0;
}

bool dbAnyCursor::gotoLast() {
  if (wholeTable) {
    currentOid = lastOid;
  } else {
    selection.curr = selection.last;
    selection.pos = selection.last ? selection.last->count - 1 : 0;
    currentOid = selection.last ? selection.last->rows[selection.pos] : 0;
  }
  return currentOid != 0;
}

bool dbAnyCursor::gotoNext() {
  if (!wholeTable) {
    dbSelection::segment* seg = selection.curr;
    if (seg == nullptr) return false;
    if (++selection.pos == seg->count) {
      if (seg->next == nullptr) {
        selection.pos -= 1;
        return false;
      }
      selection.curr = seg = seg->next;
      selection.pos = 0;
    }
    currentOid = seg->rows[selection.pos];
    return true;
  }
  if (currentOid != 0) {
    oid_t next = reinterpret_cast<dbRecord*>(db->getRow(currentOid))->next;
    if (next != 0) {
      currentOid = next;
      return true;
    }
  }
  return false;
}

void dbAnyCursor::fetch() { table->columns->fetch(record, db->getRow(currentOid)); }

bool dbAnyCursor::add(oid_t oid) {
  if (selection.count >= maxRecords) return false;
  if (skipDuplicates) {
    if (isMarked(oid)) return true;
    mark(oid);
  }
  selection.add(oid);
  return selection.count < maxRecords;
}

// The bitmap is cleared even when the limit leaves no room for duplicates:
// a graph walk marks the records it rejects with it, and must not meet the
// marks of an earlier select, nor walk a cycle without any.
void dbAnyCursor::prepareDuplicateCheck() {
  if (skipDuplicates) return;
  skipDuplicates = maxRecords >= 2;
  nat4 words = (db->getCurrentIndexSize() + 31) / 32;
  if (seenBitmapWords < words) {
    delete[] seenBitmap;
    seenBitmap = new nat4[words];
    seenBitmapWords = words;
  }
  memset(seenBitmap, 0, words * sizeof(nat4));
}

void dbAnyCursor::mark(oid_t oid) {
  if (seenBitmap != nullptr && oid / 32 < seenBitmapWords) seenBitmap[oid / 32] |= 1u << (oid % 32);
}

bool dbAnyCursor::isMarked(oid_t oid) const {
  return seenBitmap != nullptr && oid / 32 < seenBitmapWords && (seenBitmap[oid / 32] >> (oid % 32)) & 1;
}

void dbAnyCursor::at(oid_t oid) {
  reset();
  beginTransaction();
  linkToThread();
  currentOid = oid;
  add(oid);
  if (fetchOnMove) fetch();
}

namespace {
// Clears a cursor's updating flag however the operation ends.
struct UpdatingScope {
  bool& flag;
  explicit UpdatingScope(bool& f) : flag(f) { flag = true; }
  ~UpdatingScope() { flag = false; }
};
}  // namespace

void dbAnyCursor::update() {
  dbCheck(access == dbForUpdate && currentOid != 0);
  UpdatingScope scope(updating);
  db->updateRecord(currentOid, table, record);
}

void dbAnyCursor::removeCurrent() {
  dbCheck(access == dbForUpdate && currentOid != 0);
  UpdatingScope scope(updating);
  oid_t removed = currentOid;
  if (wholeTable) {
    const dbRecord* rec = reinterpret_cast<dbRecord*>(db->getRow(removed));
    if (rec->next == 0) {
      if (removed == firstOid) {
        currentOid = firstOid = lastOid = 0;
      } else {
        currentOid = lastOid = rec->prev;
      }
    } else {
      currentOid = rec->next;
      if (removed == firstOid) firstOid = rec->next;
    }
  } else if (dbSelection::segment* seg = selection.curr) {
    seg->count -= 1;
    if (seg->count == 0) {
      dbSelection::segment* next = seg->next;
      dbSelection::segment* prev = seg->prev;
      (prev ? prev->next : selection.first) = next;
      (next ? next->prev : selection.last) = prev;
      delete seg;
      if (next != nullptr) {
        selection.curr = next;
        selection.pos = 0;
        currentOid = next->rows[0];
      } else if (prev != nullptr) {
        selection.curr = prev;
        selection.pos = prev->count - 1;
        currentOid = prev->rows[selection.pos];
      } else {
        selection.curr = nullptr;
        selection.pos = 0;
        currentOid = 0;
      }
    } else if (selection.pos < seg->count) {
      memmove(seg->rows + selection.pos, seg->rows + selection.pos + 1,
              (seg->count - selection.pos) * sizeof(oid_t));
      currentOid = seg->rows[selection.pos];
    } else {
      selection.pos -= 1;
      currentOid = seg->rows[selection.pos];
    }
  } else {
    currentOid = 0;
  }
  db->removeRecord(table, removed);
  if (currentOid != 0) fetch();
}

void dbAnyCursor::relocate(byte* oldBase, size_t oldSize, std::ptrdiff_t delta) {
  if (currentOid != 0 && record != nullptr) table->columns->relocate(record, oldBase, oldSize, delta);
}

void dbAnyCursor::rowChanged(oid_t oid, bool removed) {
  if (currentOid != oid) return;
  if (removed) {
    currentOid = 0;
  } else if (!updating && record != nullptr) {
    fetch();
  }
}
