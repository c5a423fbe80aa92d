// Typed cursors: positioning, removal and its repositioning, the reset at
// the end of a transaction, other cursors of the thread, and fetched objects
// when the mapping moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "tests/support/temp_dir.h"

namespace {

struct Note {
  char const* text;
  int4 n;
  TYPE_DESCRIPTOR((FIELD(text), FIELD(n)));
};

}  // namespace

REGISTER(Note);

namespace {

class CursorTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("cursor");
  // A small file and quantum, so that a transaction soon grows the file.
  dbDatabase db{dbDatabase::accessReadWrite, 1048576, 1048576, 65536, 1};
  std::vector<dbReference<Note>> refs;

  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), dir.file("c.rvd").c_str())); }
  void TearDown() override { db.close(); }

  void addNotes(int count) {
    for (int i = 0; i < count; i++) refs.push_back(insert(Note{"note", static_cast<int4>(refs.size())}));
    db.commit();
  }
  // A selection (not whole-table) of the given notes, in order.
  void selectNotes(dbCursor<Note>& cursor, std::initializer_list<int> which) {
    bool first = true;
    for (int i : which) {
      if (first) {
        cursor.at(refs[i]);
      } else {
        cursor.add(refs[i].getOid());
      }
      first = false;
    }
    cursor.gotoFirst();
    cursor.fetch();
  }
};

TEST_F(CursorTest, EmptyTableSelectsNothing) {
  dbCursor<Note> cursor;
  EXPECT_EQ(cursor.select(), 0);
  EXPECT_EQ(cursor.get(), nullptr);
  EXPECT_EQ(cursor.next(), nullptr);
  EXPECT_EQ(cursor.last(), nullptr);
  EXPECT_EQ(cursor.select(""), 0);  // the empty condition is a whole-table select
  EXPECT_THROW(cursor->n, dbException);
  db.commit();
}

TEST_F(CursorTest, NextStopsAtTheLastRecord) {
  addNotes(3);
  dbCursor<Note> cursor;
  ASSERT_EQ(cursor.select(), 3);
  EXPECT_EQ(cursor->n, 0);
  EXPECT_EQ(cursor.next()->n, 1);
  EXPECT_EQ(cursor.next()->n, 2);
  EXPECT_EQ(cursor.next(), nullptr);
  EXPECT_EQ(cursor.get()->n, 2);  // still on the last
  EXPECT_EQ(cursor.last()->n, 2);
  db.commit();
}

TEST_F(CursorTest, RemovalRepositionsInWholeTableMode) {
  addNotes(3);
  dbCursor<Note> cursor(dbForUpdate);
  cursor.select();
  cursor.remove();  // the first: the second becomes current
  EXPECT_EQ(cursor->n, 1);
  cursor.last();
  cursor.remove();  // the last: the previous becomes current
  EXPECT_EQ(cursor->n, 1);
  cursor.remove();  // the only one
  EXPECT_EQ(cursor.get(), nullptr);
  EXPECT_EQ(cursor.next(), nullptr);
  db.commit();
  EXPECT_EQ(cursor.select(), 0);
  db.commit();
}

TEST_F(CursorTest, RemovalRepositionsInSelectionMode) {
  addNotes(4);
  dbCursor<Note> cursor(dbForUpdate);
  selectNotes(cursor, {3, 1, 2});
  EXPECT_EQ(cursor->n, 3);
  cursor.remove();  // the first of several: the next one
  EXPECT_EQ(cursor->n, 1);
  cursor.last();
  cursor.remove();  // the last: the previous one
  EXPECT_EQ(cursor->n, 1);
  cursor.remove();  // the only one left
  EXPECT_EQ(cursor.get(), nullptr);
  db.commit();
  dbCursor<Note> all;
  EXPECT_EQ(all.select(), 1);
  EXPECT_EQ(all->n, 0);
  db.commit();
}

TEST_F(CursorTest, AtWithANullReferenceThrowsBeforeAnyChange) {
  addNotes(2);
  dbCursor<Note> cursor;
  cursor.select();
  cursor.next();
  EXPECT_THROW(cursor.at(dbReference<Note>()), dbException);
  EXPECT_EQ(cursor->n, 1);
  EXPECT_EQ(cursor.getNumberOfRecords(), 2u);
  db.commit();
}

TEST_F(CursorTest, CommitEmptiesEveryCursorOfTheThread) {
  addNotes(2);
  dbCursor<Note> a;
  dbCursor<Note> b;
  a.select();
  b.at(refs[1]);
  ASSERT_NE(a.get(), nullptr);
  db.commit();
  EXPECT_EQ(a.get(), nullptr);
  EXPECT_EQ(b.get(), nullptr);
}

TEST_F(CursorTest, OtherCursorsFollowUpdatesAndRemovals) {
  addNotes(2);
  dbCursor<Note> writer(dbForUpdate);
  dbCursor<Note> reader(dbForUpdate);
  writer.at(refs[0]);
  reader.at(refs[0]);
  writer->text = "changed";
  writer->n = 42;
  writer.update();
  EXPECT_STREQ(reader->text, "changed");
  EXPECT_EQ(reader->n, 42);
  writer.remove();
  EXPECT_EQ(reader.get(), nullptr);
  db.commit();
}

TEST_F(CursorTest, FetchedTextsSurviveTheMappingMoving) {
  addNotes(1);
  dbCursor<Note> cursor;
  cursor.at(refs[0]);
  const char* text = cursor->text;
  byte* base = db.getBaseAddress();
  nat4 size = db.getHeader()->fileSize;
  // Grow the file within the same transaction until the mapping has moved
  // (or the file has grown a lot: the kernel may extend in place).
  std::string big(2000, 'x');
  for (int i = 0; i < 20000 && db.getBaseAddress() == base; i++) insert(Note{big.c_str(), i});
  EXPECT_GT(db.getHeader()->fileSize, size);
  EXPECT_NE(db.getBaseAddress(), base) << "the mapping did not move";
  EXPECT_STREQ(cursor->text, "note");
  EXPECT_NE(cursor->text, text);  // relocated with the mapping
  db.commit();
}

}  // namespace
