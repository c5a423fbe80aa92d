// Selection: index answers agree with plain scans for many random conditions,
// the index is used where it applies and not where it does not, graph walks,
// ORDER BY, and the parallel scan against the sequential one.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/describe.h"
#include "engine/query/cursor.h"
#include "engine/query/index_search.h"
#include "engine/query/query.h"
#include "tests/support/temp_dir.h"

namespace {

struct Item;

struct Owner {
  char const* name;
  int4 rank;
  dbArray<dbReference<Item>> items;
  TYPE_DESCRIPTOR((KEY(name, INDEXED), KEY(rank, HASHED), RELATION(items, owner)));
};

struct Tag {
  char const* label;
  dbArray<dbReference<Item>> items;
  TYPE_DESCRIPTOR((KEY(label, HASHED | INDEXED), RELATION(items, tags)));
};

struct Item {
  int4 x;  // hash only
  int4 y;  // T-tree only
  int4 z;  // no index
  char const* name;
  dbReference<Owner> owner;  // inverse Owner.items, no index
  dbReference<Owner> boss;   // hashed, no inverse
  dbReference<Item> next;
  dbArray<dbReference<Tag>> tags;
  TYPE_DESCRIPTOR((KEY(x, HASHED), KEY(y, INDEXED), FIELD(z), KEY(name, INDEXED), RELATION(owner, items),
                   KEY(boss, HASHED), FIELD(next), RELATION(tags, items)));
};

struct Small {
  int4 k;
  int4 v;
  TYPE_DESCRIPTOR((FIELD(k), FIELD(v)));
};

}  // namespace

REGISTER(Owner);
REGISTER(Tag);
REGISTER(Item);
REGISTER(Small);

namespace {

std::vector<oid_t> idsOf(dbAnyCursor& cursor) {
  std::vector<oid_t> ids;
  if (cursor.getNumberOfRecords() == 0) return ids;
  cursor.gotoFirst();
  do {
    ids.push_back(cursor.currentId());
  } while (cursor.gotoNext());
  return ids;
}

std::vector<oid_t> sorted(std::vector<oid_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class SelectTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("select");
  dbDatabase db;
  std::vector<std::string> names;  // kept alive while inserted
  std::vector<dbReference<Owner>> owners;
  std::vector<dbReference<Tag>> tags;

  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), dir.file("s.rvd").c_str()));
    fill(300);
  }
  void TearDown() override { db.close(); }

  void fill(int nItems) {
    static const char* ownerNames[] = {"o0", "o1", "o2", "o3", "o4", "o5", "o6", "o7"};
    static const char* tagLabels[] = {"t0", "t1", "t2", "t3", "t4"};
    for (int i = 0; i < 8; i++) owners.push_back(insert(Owner{ownerNames[i], i % 4, {}}));
    for (int i = 0; i < 5; i++) tags.push_back(insert(Tag{tagLabels[i], {}}));
    std::mt19937 rng(7);
    names.reserve(nItems + 2);
    for (int i = 0; i < nItems; i++) {
      names.push_back("n" + std::to_string(rng() % 40) + (i % 3 == 0 ? "c" : ""));
      Item item{static_cast<int4>(rng() % 20), static_cast<int4>(rng() % 50), static_cast<int4>(rng() % 10),
                names.back().c_str(), owners[rng() % 8], owners[rng() % 8], {}, {}};
      dbReference<Tag> itemTags[2] = {tags[rng() % 5], tags[rng() % 5]};
      item.tags = dbArray<dbReference<Tag>>(itemTags, rng() % 3);
      insert(item);
    }
    db.commit();
  }

  // The records of the condition, and the same condition defeated for every
  // index: NOT NOT leaves only the plain scan.
  void expectSameAsScan(const std::string& condition) {
    dbCursor<Item> indexed, scanned;
    indexed.select(condition.c_str());
    scanned.select(("not not (" + condition + ")").c_str());
    EXPECT_EQ(sorted(idsOf(indexed)), sorted(idsOf(scanned))) << condition;
    std::vector<oid_t> ids = sorted(idsOf(indexed));
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "duplicates: " << condition;
  }
};

std::string randomAtom(std::mt19937& rng) {
  int k = static_cast<int>(rng() % 50);
  std::string n = std::to_string(k % 40);
  switch (rng() % 17) {
    case 0: return "x = " + std::to_string(k % 20);
    case 1: return "x > " + std::to_string(k % 20);
    case 2: return "y = " + std::to_string(k);
    case 3: return "y > " + std::to_string(k);
    case 4: return "y <= " + std::to_string(k);
    case 5: return "y between " + std::to_string(k) + " and " + std::to_string(k + 7);
    case 6: return "x between " + std::to_string(k % 20) + " and " + std::to_string(k % 20);
    case 7: return "name = 'n" + n + "'";
    case 8: return "name like 'n" + n + "%'";
    case 9: return "name like 'n" + n.substr(0, 1) + "%c'";
    case 10: return "name like '%" + n.substr(0, 1) + "'";
    case 11: return "name like 'n_" + n.substr(0, 1) + "'";
    case 12: return "owner.name = 'o" + std::to_string(k % 8) + "'";
    case 13: return "boss.rank = " + std::to_string(k % 4);
    case 14: return "exists i: (tags[i].label = 't" + std::to_string(k % 5) + "')";
    case 15: return "name >= 'n" + n + "'";
    default: return "z = " + std::to_string(k % 10);
  }
}

TEST_F(SelectTest, IndexAnswersEqualPlainScans) {
  std::mt19937 rng(2026);
  for (int i = 0; i < 250; i++) {
    std::string a = randomAtom(rng), b = randomAtom(rng), c = randomAtom(rng);
    const std::string conditions[] = {a, a + " and " + b, a + " or " + b, a + " or " + b + " or " + c,
                                      "(" + a + " and " + b + ") or " + c, a + " and (" + b + " or " + c + ")"};
    expectSameAsScan(conditions[rng() % 6]);
  }
  db.commit();
}

struct PlanCase {
  const char* condition;
  nat4 hashSearches;
  nat4 treeSearches;
  nat4 sequentialScans;
};

TEST_F(SelectTest, IndexIsUsedWhereItApplies) {
  const PlanCase cases[] = {
      {"x = 5", 1, 0, 0},                     // hash
      {"x > 5", 0, 0, 1},                     // a hash index has no order
      {"x between 3 and 3", 1, 0, 0},         // equal bounds: hash
      {"x = 5000000000", 0, 0, 1},            // no int4 key holds it
      {"y >= 10 and z = 3", 0, 1, 0},         // the rest of the AND filters
      {"z = 3 and y >= 10", 0, 0, 1},         // only the left conjunct is tried
      {"x = 1 or y = 2", 1, 1, 0},
      {"x = 1 or z = 2", 1, 0, 1},            // the scan only for the operand without an index
      {"name like '%b'", 0, 0, 1},
      {"owner.name = 'o3'", 0, 1, 0},         // backwards through Owner.items
      {"exists i: (tags[i].label = 't2')", 1, 0, 0},  // backwards through Tag.items
      {"z = 3", 0, 0, 1},
  };
  for (const PlanCase& c : cases) {
    dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
    s.clear();
    dbCursor<Item> cursor;
    cursor.select(c.condition);
    EXPECT_EQ(s.hashSearches, c.hashSearches) << c.condition;
    EXPECT_EQ(s.treeSearches, c.treeSearches) << c.condition;
    EXPECT_EQ(s.sequentialScans, c.sequentialScans) << c.condition;
    expectSameAsScan(c.condition);
  }
  // Through the hashed reference: one search of Owner.rank, then one of boss per owner found.
  dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
  s.clear();
  dbCursor<Item> cursor;
  cursor.select("boss.rank = 2");
  EXPECT_EQ(s.hashSearches, 1u + 2u);  // owners o2 and o6 have rank 2
  EXPECT_EQ(s.sequentialScans, 0u);
  expectSameAsScan("boss.rank = 2");
  db.commit();
}

struct LikeCase {
  const char* pattern;
  const char* low;
  const char* high;
  bool filtered;
};

TEST_F(SelectTest, PrefixLikeSearchesTheRangeOfItsPrefix) {
  const LikeCase cases[] = {
      {"name like 'n1%'", "n1", "n2", false},
      {"name like 'n1%c'", "n1", "n2", true},
      {"name like 'n_2'", "n", "o", true},
      {"name like 'n1\\%' escape '\\'", "n1", "n2", true},
  };
  for (const LikeCase& c : cases) {
    dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
    s.clear();
    dbCursor<Item> cursor;
    cursor.select(c.pattern);
    EXPECT_EQ(s.treeSearches, 1u) << c.pattern;
    EXPECT_EQ(s.sequentialScans, 0u) << c.pattern;
    EXPECT_EQ(s.lastLow, c.low) << c.pattern;
    EXPECT_TRUE(s.lastHasLow && s.lastLowInclusive) << c.pattern;
    EXPECT_EQ(s.lastHigh, c.high) << c.pattern;
    EXPECT_TRUE(s.lastHasHigh && !s.lastHighInclusive) << c.pattern;
    EXPECT_EQ(s.lastFiltered, c.filtered) << c.pattern;
    expectSameAsScan(c.pattern);
  }
  db.commit();
}

TEST_F(SelectTest, PrefixEndingInByte255FindsLongerTexts) {
  names.push_back("a\xff\xff\xff\xffz");
  names.push_back("a\xff");
  insert(Item{0, 0, 0, names[names.size() - 2].c_str(), owners[0], owners[0], {}, {}});
  insert(Item{0, 0, 0, names.back().c_str(), owners[0], owners[0], {}, {}});
  dbCursor<Item> cursor;
  EXPECT_EQ(cursor.select("name like 'a\xff%'"), 2);
  EXPECT_EQ(cursor.select("name like '\xff%'"), 0);  // no upper bound at all
  expectSameAsScan("name like 'a\xff%'");
  db.commit();
}

TEST_F(SelectTest, OrAddsRecordsSatisfyingBothOperandsOnce) {
  // Records that satisfy both operands of every OR below.
  std::vector<oid_t> both;
  for (int i = 0; i < 3; i++) both.push_back(insert(Item{1, 2, 2, "both", owners[0], owners[0], {}, {}}).getOid());
  for (const char* condition : {"x = 1 or y = 2", "x = 1 or z = 2", "y = 2 or x = 1 or x = 1"}) {
    dbCursor<Item> cursor;
    cursor.select(condition);
    std::vector<oid_t> ids = sorted(idsOf(cursor));
    for (oid_t oid : both) EXPECT_EQ(std::count(ids.begin(), ids.end(), oid), 1) << condition;
    expectSameAsScan(condition);
  }
  db.commit();
}

TEST_F(SelectTest, DescendingIndexAnswerIsReversedNotSorted) {
  dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
  s.clear();
  dbCursor<Item> cursor;
  ASSERT_GT(cursor.select("y > 20 order by y desc"), 1);
  EXPECT_EQ(s.reversals, 1u);
  EXPECT_EQ(s.sorts, 0u);
  int previous = 1000;
  do {
    EXPECT_LE(cursor->y, previous);
    EXPECT_GT(cursor->y, 20);
    previous = cursor->y;
  } while (cursor.next());

  // An OR chain is not in one index's order: it is sorted.
  s.clear();
  cursor.select("y > 40 or y < 3 order by y");
  EXPECT_EQ(s.sorts, 1u);
  previous = -1;
  do {
    EXPECT_GE(cursor->y, previous);
    previous = cursor->y;
  } while (cursor.next());
  db.commit();
}

TEST_F(SelectTest, OrderByOneIndexedFieldWalksTheTree) {
  dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
  s.clear();
  dbCursor<Item> cursor;
  dbCursor<Item> all;
  int n = cursor.select("z = 4 order by name desc");
  EXPECT_EQ(s.treeTraversals, 1u);
  EXPECT_EQ(s.sorts, 0u);
  EXPECT_EQ(n, all.select("z = 4"));
  std::string previous = "\x7f";
  do {
    EXPECT_EQ(cursor->z, 4);
    EXPECT_LE(std::string(cursor->name), previous);
    previous = cursor->name;
  } while (cursor.next());

  // An OR operand answered by an index comes first; the walk's records must
  // be sorted in with it.
  cursor.select("x = 3 or z = 4 order by y");
  EXPECT_EQ(cursor.getNumberOfRecords(), static_cast<nat4>(all.select("x = 3 or z = 4")));
  int y = -1;
  do {
    EXPECT_GE(cursor->y, y);
    y = cursor->y;
  } while (cursor.next());
  db.commit();
}

TEST_F(SelectTest, OrderByComponentsAndExpressions) {
  struct Row {
    int z;
    std::string name;
    int x;
    oid_t oid;
  };
  const char* queries[] = {"order by z, name desc, x", "y < 30 order by length(name) desc, x + z, name"};
  for (const char* q : queries) {
    dbCursor<Item> cursor;
    cursor.select(q);
    std::vector<Row> rows;
    do {
      rows.push_back({cursor->z, cursor->name, cursor->x, cursor.currentId()});
    } while (cursor.next());
    for (size_t i = 1; i < rows.size(); i++) {
      const Row& a = rows[i - 1];
      const Row& b = rows[i];
      if (q == queries[0]) {
        ASSERT_LE(a.z, b.z) << i;
        if (a.z == b.z) {
          ASSERT_GE(a.name, b.name) << i;
          if (a.name == b.name) {
            ASSERT_LE(a.x, b.x) << i;
          }
        }
      } else {
        ASSERT_GE(a.name.size(), b.name.size()) << i;
        if (a.name.size() == b.name.size()) {
          ASSERT_LE(a.x + a.z, b.x + b.z) << i;
          if (a.x + a.z == b.x + b.z) {
            ASSERT_LE(a.name, b.name) << i;
          }
        }
      }
    }
  }
  db.commit();
}

TEST_F(SelectTest, StartFromFirstFollowsACycleOnce) {
  // A ring: every item's next is the following one, the last's the first.
  dbCursor<Item> cursor(dbForUpdate);
  int n = cursor.select();
  std::vector<oid_t> ring = idsOf(cursor);
  cursor.select();
  for (int i = 0; i < n; i++) {
    cursor->next = dbReference<Item>(ring[(i + 1) % n]);
    cursor.update();
    cursor.next();
  }
  db.commit();

  dbCursor<Item> walk;
  EXPECT_EQ(walk.select("start from first follow by next"), n);
  EXPECT_EQ(idsOf(walk), ring);  // in ring order
  EXPECT_EQ(walk.select("y < 10 start from last follow by next"),
            static_cast<int>(walk.select("y < 10")));
  // The limit stops the walk even where the condition rejects everything on the ring.
  walk.setMaxRecords(1);
  EXPECT_EQ(walk.select("y > 1000 start from first follow by next"), 0);
  EXPECT_EQ(walk.select("y >= 0 start from first follow by next"), 1);
  db.commit();
}

TEST_F(SelectTest, CurrentEqualsParameterPositionsOnTheRecord) {
  dbCursor<Item> all;
  all.select();
  all.next();
  dbReference<Item> ref = all.currentRef();
  dbQuery q("current = ", &ref);
  dbCursor<Item> cursor;
  dbSelectStatistics::ofThisThread().clear();
  EXPECT_EQ(cursor.select(q, dbViewOnly), 1);
  EXPECT_EQ(cursor.currentId(), ref.getOid());
  EXPECT_EQ(dbSelectStatistics::ofThisThread().sequentialScans, 0u);
  ref = dbReference<Item>();
  EXPECT_EQ(cursor.select(q, dbViewOnly), 0);
  db.commit();
}

// ---- Parallel scan

std::vector<oid_t> smallRows(dbDatabase& db, const char* condition, std::vector<int>* keys = nullptr) {
  dbCursor<Small> cursor;
  cursor.select(condition);
  std::vector<oid_t> ids = idsOf(cursor);
  if (keys != nullptr) {
    keys->clear();
    if (cursor.gotoFirst()) {
      do {
        cursor.fetch();
        keys->push_back(cursor->v);
      } while (cursor.gotoNext());
    }
  }
  db.commit();
  return ids;
}

TEST(ParallelScanTest, WorkersFindWhatTheSequentialScanFinds) {
  TempDir dir;
  std::string name = uniqueName("parallel");
  std::string file = dir.file("p.rvd");
  const int rows = 100000;
  std::vector<oid_t> expected, expectedOrdered;
  std::vector<int> expectedKeys;
  {
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    std::mt19937 rng(99);
    for (int i = 0; i < rows; i++) insert(Small{i, static_cast<int4>(rng() % 1000)});
    db.commit();
    expected = sorted(smallRows(db, "v < 300"));
    expectedOrdered = smallRows(db, "v > 900 order by v", &expectedKeys);
    db.close();
  }
  for (int threads : {2, 4}) {
    dbDatabase db(dbDatabase::accessReadWrite, dbDatabase::dbDefaultInitFileSize,
                  dbDatabase::dbDefaultExtensionQuantum, dbDatabase::dbDefaultInitIndexSize, threads);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    dbSelectStatistics& s = dbSelectStatistics::ofThisThread();
    s.clear();
    EXPECT_EQ(sorted(smallRows(db, "v < 300")), expected) << threads;
    std::vector<int> keys;
    std::vector<oid_t> ordered = smallRows(db, "v > 900 order by v", &keys);
    EXPECT_EQ(keys, expectedKeys) << threads;
    EXPECT_EQ(sorted(ordered), sorted(expectedOrdered)) << threads;
    EXPECT_EQ(s.parallelScans, 2u) << threads;
    EXPECT_EQ(s.sequentialScans, 0u) << threads;
    // A limit keeps the scan sequential.
    dbCursor<Small> limited;
    limited.setMaxRecords(10);
    EXPECT_EQ(limited.select("v < 300"), 10);
    EXPECT_EQ(s.sequentialScans, 1u) << threads;
    // An evaluation error on a worker's thread reaches the selecting thread.
    dbCursor<Small> failing;
    EXPECT_THROW(failing.select("v / (k - k) > 0"), dbException) << threads;
    db.commit();
    db.close();
  }
}

}  // namespace
