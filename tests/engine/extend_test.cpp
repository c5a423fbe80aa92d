// Growth of the file while a cursor holds a fetched record that points into
// the mapping.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "engine/table_record.h"
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

TEST(ExtendTest, FetchedRecordsFollowTheMappingWhenItMoves) {
  TempDir dir;
  std::string name = uniqueName("extend");
  dbDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), dir.file("extend.rvd").c_str()));
  insert(Note{"kept across the move", 7});
  db.commit();

  dbCursor<Note> cursor(dbForUpdate);
  ASSERT_EQ(cursor.select(), 1);
  byte* oldBase = db.getBaseAddress();
  size_t oldSize = db.getHeader()->fileSize;
  // The file doubles; with the addresses after it taken, the mapping cannot
  // grow where it is.
  void* guard = mmap(oldBase + oldSize, oldSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_TRUE(guard != MAP_FAILED || errno == EEXIST);
  db.allocate(600000);
  if (guard != MAP_FAILED) munmap(guard, oldSize);
  ASSERT_EQ(db.getHeader()->fileSize, 2 * oldSize);
  ASSERT_NE(db.getBaseAddress(), oldBase);

  const byte* text = reinterpret_cast<const byte*>(cursor->text);
  EXPECT_GE(text, db.getBaseAddress());
  EXPECT_LT(text, db.getBaseAddress() + db.getHeader()->fileSize);
  EXPECT_STREQ(cursor->text, "kept across the move");
  EXPECT_EQ(cursor->n, 7);
  db.commit();
  db.close();
}

}  // namespace
