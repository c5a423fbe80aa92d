// Cursors: the application's way to read and change the records of one
// table. A cursor holds a selection (the whole table in storage order, or an
// explicit list of identifiers), a current position in it, and an object of
// the table's class into which the current record is fetched on every move.
//
// A cursor belongs to one thread. A select (or at) begins the thread's
// transaction and links the cursor into the thread's context; when the
// transaction ends, every linked cursor is reset and holds nothing. Fetched
// objects point into the mapped file and are valid only within the
// transaction.
#pragma once

#include "engine/database.h"
#include "engine/reference.h"
#include "engine/table_descriptor.h"

enum dbCursorType : nat1 { dbViewOnly = 0, dbForUpdate = 1 };

// Selected identifiers in segments of 1024; growth never moves identifiers.
class dbSelection {
 public:
  enum { segmentSize = 1024 };
  struct segment {
    segment* prev;
    segment* next;
    nat4 count;
    oid_t rows[segmentSize];
  };

  segment* first = nullptr;
  segment* last = nullptr;
  segment* curr = nullptr;
  nat4 count = 0;  // identifiers appended
  nat4 pos = 0;    // index inside curr

  dbSelection() = default;
  ~dbSelection() { reset(); }
  dbSelection(const dbSelection&) = delete;
  dbSelection& operator=(const dbSelection&) = delete;

  void add(oid_t oid);
  // Frees every segment and zeroes all fields.
  void reset();
  // Moves every segment of other to the end of this selection.
  void append(dbSelection& other);
  // Reverses the order of the segments and of the identifiers inside each.
  void reverse();
};

class dbAnyCursor : public dbCursorLink {
 public:
  static constexpr nat4 defaultMaxRecords = 2000000000;

  dbAnyCursor(dbTableDescriptor& table, dbCursorType access, byte* record);
  ~dbAnyCursor() override;
  dbAnyCursor(const dbAnyCursor&) = delete;
  dbAnyCursor& operator=(const dbAnyCursor&) = delete;

  // Whole-table select with the default access; returns the record count.
  int select();
  // Runs a query; parameterBase, when given, is added to parameter offsets.
  int select(dbQuery& query, dbCursorType access, void* parameterBase = nullptr);
  // A query made from the condition text for one select, with the default access.
  int select(const char* condition);

  oid_t currentId() const { return currentOid; }
  nat4 getNumberOfRecords() const { return selection.count; }
  bool isUpdateCursor() const { return access == dbForUpdate; }
  void setMaxRecords(nat4 max) { maxRecords = max; }
  nat4 getMaxRecords() const { return maxRecords; }
  dbDatabase* getDatabase() const { return db; }
  dbTableDescriptor* getTable() const { return table; }
  void* getParameterBase() const { return parameterBase; }
  // For the cursors an index search collects into during another cursor's select.
  void setParameterBase(void* base) { parameterBase = base; }

  // Writes the object back into the current record.
  void update();
  // Removes the current record and moves to a neighbour.
  void removeCurrent();

  // ---- Used by the selection machinery.
  void reset();
  bool gotoFirst();
  bool gotoLast();
  bool gotoNext();
  void fetch();
  // Appends oid, applying the limit and the duplicate check; false stops the search.
  bool add(oid_t oid);
  // Clears the bitmap that mark and isMarked use; add drops duplicates from
  // then on, unless the limit is below 2 and there can be none.
  void prepareDuplicateCheck();
  void mark(oid_t oid);
  bool isMarked(oid_t oid) const;
  // Links the cursor into the calling thread's context.
  void linkToThread();
  // Begins the transaction the cursor's access needs.
  void beginTransaction();
  dbSelection& getSelection() { return selection; }
  // Whole-table mode from the table's stored row.
  void selectWholeTable();
  // Makes the single record oid the selection and the current record.
  void at(oid_t oid);

  // ---- dbCursorLink
  void transactionEnded() override { reset(); }
  void relocate(byte* oldBase, size_t oldSize, std::ptrdiff_t delta) override;
  void rowChanged(oid_t oid, bool removed) override;

 protected:
  // Takes the database from the table, or the table of the database's own copy.
  void bindToDatabase();
  // After a select: first record, fetched.
  int finishSelect();

  dbDatabase* db;
  dbTableDescriptor* table;
  dbCursorType access;
  dbCursorType defaultAccess;
  dbSelection selection;
  bool wholeTable = false;
  oid_t firstOid = 0;
  oid_t lastOid = 0;
  oid_t currentOid = 0;
  byte* record;
  nat4 maxRecords = defaultMaxRecords;
  nat4* seenBitmap = nullptr;
  nat4 seenBitmapWords = 0;
  bool skipDuplicates = false;
  bool fetchOnMove = true;
  bool updating = false;
  void* parameterBase = nullptr;
};

// A cursor over the table of record class T, whose object it embeds.
template <class T>
class dbCursor : public dbAnyCursor {
 public:
  explicit dbCursor(dbCursorType access = dbViewOnly)
      : dbAnyCursor(T::dbDescriptor, access, reinterpret_cast<byte*>(&object)) {}

  T* next() { return gotoNext() ? fetched() : nullptr; }
  T* last() { return gotoLast() ? fetched() : nullptr; }
  T* get() { return currentOid != 0 ? &object : nullptr; }
  // Makes ref the whole selection and the current record; a null reference
  // throws before the cursor changes.
  T* at(dbReference<T> ref) {
    if (ref.isNull()) throw dbException(NoError);
    dbAnyCursor::at(ref.getOid());
    return &object;
  }
  T* operator->() {
    if (currentOid == 0) throw dbException(NoError);
    return &object;
  }
  void remove() { removeCurrent(); }
  dbReference<T> currentRef() const { return dbReference<T>(currentOid); }

 private:
  T* fetched() {
    fetch();
    return &object;
  }
  T object{};
};

// Inserts the object as a new record of T's table, in the database the table
// is bound to, and returns the reference to it.
template <class T>
dbReference<T> insert(const T& object) {
  dbTableDescriptor& table = T::dbDescriptor;
  dbCheck(table.database != nullptr && table.database != dbTableDescriptor::everyDatabase());
  return dbReference<T>(table.database->insertRecord(&table, &object));
}
