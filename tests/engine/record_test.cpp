// Rows through typed cursors and inserts: row lists, update in place or
// moved, inverse references both ways, cascades, rollback of appends, and
// operations that fail for want of space.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "engine/table_record.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

namespace {

struct Item {
  char const* name;
  int4 value;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(value)));
};

struct Child;
struct Parent {
  char const* name;
  dbArray<dbReference<Child>> children;
  TYPE_DESCRIPTOR((FIELD(name), RELATION(children, parent)));
};
struct Child {
  dbReference<Parent> parent;
  int4 n;
  TYPE_DESCRIPTOR((RELATION(parent, children), FIELD(n)));
};

// Two rows that own each other: removing one removes the other.
struct Twin {
  dbReference<Twin> other;
  dbReference<Twin> backOfOther;
  TYPE_DESCRIPTOR((OWNER(other, backOfOther), OWNER(backOfOther, other)));
};

}  // namespace

REGISTER(Item);
REGISTER(Parent);
REGISTER(Child);
REGISTER(Twin);

namespace {

class RecordTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("rec");
  dbDatabase db;

  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), dir.file("rec.rvd").c_str())); }
  void TearDown() override { db.close(); }

  oid_t addItem(const char* text, int4 value) { return insert(Item{text, value}).getOid(); }

  // The table's row list, checked for consistency, as (oid -> name).
  std::vector<std::string> rowsOf(dbTableDescriptor& table) {
    db.beginTransaction(dbDatabase::dbSharedLock);
    dbTable* t = dbTableOf(db.getRow(table.tableId));
    std::vector<std::string> names;
    oid_t prev = 0;
    nat4 n = 0;
    for (oid_t row = t->firstRow; row != 0; row = reinterpret_cast<dbRecord*>(db.getRow(row))->next) {
      auto* rec = reinterpret_cast<dbRecord*>(db.getRow(row));
      EXPECT_EQ(rec->prev, prev);
      prev = row;
      n += 1;
      if (&table == &Item::dbDescriptor) {
        Item item;
        table.columns->fetch(reinterpret_cast<byte*>(&item), db.getRow(row));
        names.push_back(item.name);
      }
    }
    EXPECT_EQ(t->lastRow, prev);
    EXPECT_EQ(t->nRows, n);
    db.commit();
    return names;
  }

  // Removes the item named text through a whole-table cursor.
  void removeItem(const char* text) {
    dbCursor<Item> cursor(dbForUpdate);
    ASSERT_GT(cursor.select(), 0);
    do {
      if (strcmp(cursor->name, text) == 0) {
        cursor.remove();
        db.commit();
        return;
      }
    } while (cursor.next());
    FAIL() << text << " not found";
  }
};

using Names = std::vector<std::string>;

TEST_F(RecordTest, RowListsFollowInsertsAndRemovals) {
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{});
  addItem("a", 1);
  db.commit();
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{"a"});
  addItem("b", 2);
  addItem("c", 3);
  addItem("d", 4);
  db.commit();
  removeItem("c");  // middle
  EXPECT_EQ(rowsOf(Item::dbDescriptor), (Names{"a", "b", "d"}));
  removeItem("a");  // first
  EXPECT_EQ(rowsOf(Item::dbDescriptor), (Names{"b", "d"}));
  removeItem("d");  // last
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{"b"});
  removeItem("b");  // only
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{});
}

TEST_F(RecordTest, UpdateStaysInPlaceWhenTheSizeIsUnchangedInTheTransaction) {
  oid_t oid = addItem("abc", 1);
  db.commit();
  dbCursor<Item> cursor(dbForUpdate);
  cursor.select();
  cursor->value = 2;
  cursor.update();  // committed row: moves once
  byte* moved = db.getRow(oid);
  cursor->value = 3;
  cursor->name = "xyz";
  cursor.update();  // same size, already private: in place
  EXPECT_EQ(db.getRow(oid), moved);
  cursor->name = "longer text";
  cursor.update();  // another size: moves
  EXPECT_NE(db.getRow(oid), moved);
  db.commit();
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{"longer text"});
}

TEST_F(RecordTest, InverseReferencesAreKeptBothWays) {
  oid_t p = insert(Parent{"p", {}}).getOid();
  oid_t c1 = insert(Child{dbReference<Parent>(p), 1}).getOid();
  oid_t c2 = insert(Child{dbReference<Parent>(p), 2}).getOid();
  oid_t c3 = insert(Child{dbReference<Parent>(p), 3}).getOid();
  db.commit();
  auto childrenOf = [&](oid_t parent) {
    dbCursor<Parent> cursor;
    cursor.at(dbReference<Parent>(parent));
    std::vector<oid_t> ids;
    for (size_t i = 0; i < cursor->children.length(); i++) ids.push_back(cursor->children[i].getOid());
    db.commit();
    return ids;
  };
  EXPECT_EQ(childrenOf(p), (std::vector<oid_t>{c1, c2, c3}));

  {  // removing a child removes only its own element of the inverse array
    dbCursor<Child> cursor(dbForUpdate);
    cursor.at(dbReference<Child>(c2));
    cursor.remove();
    db.commit();
  }
  EXPECT_EQ(childrenOf(p), (std::vector<oid_t>{c1, c3}));

  oid_t q = insert(Parent{"q", {}}).getOid();
  {  // moving a child to another parent updates both parents
    dbCursor<Child> cursor(dbForUpdate);
    cursor.at(dbReference<Child>(c1));
    cursor->parent = dbReference<Parent>(q);
    cursor.update();
    db.commit();
  }
  EXPECT_EQ(childrenOf(p), std::vector<oid_t>{c3});
  EXPECT_EQ(childrenOf(q), std::vector<oid_t>{c1});
  {  // removing a parent clears its children's references
    dbCursor<Parent> cursor(dbForUpdate);
    cursor.at(dbReference<Parent>(q));
    cursor.remove();
    db.commit();
    dbCursor<Child> child;
    child.at(dbReference<Child>(c1));
    EXPECT_TRUE(child->parent.isNull());
    db.commit();
  }
}

TEST_F(RecordTest, InverseArraysGrowByDoubling) {
  oid_t p = insert(Parent{"p", {}}).getOid();
  std::vector<oid_t> children;
  for (int i = 0; i < 200; i++) children.push_back(insert(Child{dbReference<Parent>(p), i}).getOid());
  db.commit();
  dbCursor<Parent> cursor;
  cursor.at(dbReference<Parent>(p));
  ASSERT_EQ(cursor->children.length(), 200u);
  for (size_t i = 0; i < children.size(); i++) EXPECT_EQ(cursor->children[i].getOid(), children[i]);
  db.commit();
}

TEST_F(RecordTest, CascadeOfTwoRowsReferringToEachOtherEnds) {
  oid_t a = insert(Twin{}).getOid();
  oid_t b = insert(Twin{dbReference<Twin>(a), {}}).getOid();  // a.backOfOther = b through the inverse
  db.commit();
  {
    dbCursor<Twin> cursor(dbForUpdate);
    cursor.at(dbReference<Twin>(a));
    EXPECT_EQ(cursor->backOfOther.getOid(), b);
    cursor->other = dbReference<Twin>(b);  // b.backOfOther = a
    cursor.update();
    db.commit();
  }
  dbCursor<Twin> cursor(dbForUpdate);
  ASSERT_EQ(cursor.select(), 2);
  cursor.remove();
  db.commit();
  EXPECT_EQ(cursor.select(), 0);
  db.commit();
}

TEST_F(RecordTest, RollbackAfterAppendsLeavesTheLastRowWithoutNext) {
  oid_t a = addItem("a", 1);
  db.commit();
  addItem("b", 2);
  addItem("c", 3);
  db.rollback();
  db.beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_EQ(reinterpret_cast<dbRecord*>(db.getRow(a))->next, 0u);
  dbTable* meta = dbTableOf(db.getRow(dbMetaTableId));
  EXPECT_EQ(reinterpret_cast<dbRecord*>(db.getRow(meta->lastRow))->next, 0u);
  db.commit();
  EXPECT_EQ(rowsOf(Item::dbDescriptor), Names{"a"});
}

}  // namespace

namespace {

// An update or a removal that fails while it changes inverse references
// (the file is full) leaves nothing of it behind once rolled back: a later
// removal clears the references to the removed row.
TEST_F(RecordTest, FailedChangeOfInverseReferencesLeavesLaterRemovalsWhole) {
  enum Failing { update, removal };
  for (Failing failing : {update, removal}) {
    SCOPED_TRACE(failing == update ? "update" : "removal");
    oid_t p = insert(Parent{"p", {}}).getOid();
    oid_t q = insert(Parent{"q", {}}).getOid();
    oid_t c = insert(Child{dbReference<Parent>(p), 1}).getOid();
    db.commit();
    {
      FileLimit limit(db.getHeader()->fileSize);
      ASSERT_TRUE(limit.set);
      db.beginTransaction(dbDatabase::dbExclusiveLock);
      // Every quantum of the file taken: the copies of the rows need growth.
      for (size_t size = 1 << 20; size >= 16; size /= 2) {
        try {
          while (true) db.allocate(size);
        } catch (const dbException& e) {
          ASSERT_EQ(e.getErrCode(), FileError);
        }
      }
      try {
        if (failing == update) {
          dbCursor<Child> cursor(dbForUpdate);
          cursor.at(dbReference<Child>(c));
          cursor->parent = dbReference<Parent>(q);
          cursor.update();
        } else {
          dbCursor<Parent> cursor(dbForUpdate);
          cursor.at(dbReference<Parent>(p));
          cursor.remove();
        }
        ADD_FAILURE() << "the change found room";
      } catch (const dbException& e) {
        EXPECT_EQ(e.getErrCode(), FileError);
      }
      db.rollback();
    }
    {
      dbCursor<Parent> cursor(dbForUpdate);
      cursor.at(dbReference<Parent>(p));
      cursor.remove();
      db.commit();
    }
    dbCursor<Child> child(dbForUpdate);
    child.at(dbReference<Child>(c));
    EXPECT_TRUE(child->parent.isNull());
    child.remove();
    db.commit();
    dbCursor<Parent> parent(dbForUpdate);
    parent.at(dbReference<Parent>(q));
    EXPECT_EQ(parent->children.length(), 0u);
    parent.remove();
    db.commit();
  }
}

}  // namespace
