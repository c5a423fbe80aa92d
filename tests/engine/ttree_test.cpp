// The T-tree index on raw records: structure after every step of randomized
// runs, the documented edge cases of insertion and removal, key comparison
// of every type, range search and traversals, rollback and crash recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "engine/database.h"
#include "engine/describe.h"
#include "engine/index_key.h"
#include "engine/query/cursor.h"
#include "engine/ttree.h"
#include "tests/engine/index_records.h"
#include "tests/support/temp_dir.h"

// The table of the cursors that receive what the searches find; the records
// searched are raw records outside any table.
struct TreeFound {
  int4 unused;
  TYPE_DESCRIPTOR((FIELD(unused)));
};
REGISTER(TreeFound);

namespace {

// The identifiers a cursor received, in order.
std::vector<oid_t> selected(dbAnyCursor& cursor) {
  std::vector<oid_t> oids;
  for (auto* seg = cursor.getSelection().first; seg != nullptr; seg = seg->next) {
    oids.insert(oids.end(), seg->rows, seg->rows + seg->count);
  }
  return oids;
}

class TtreeTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("ttree");
  std::string file = dir.file("ttree.rvd");
  dbDatabase db;
  int type = tpInt4;
  oid_t tree = 0;

  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    tree = dbTtree::create(&db);
  }
  void TearDown() override {
    if (db.isOpen()) {
      db.rollback();
      db.close();
    }
  }

  int keySize() const { return type == tpReal8 ? 8 : 4; }
  void insert(oid_t rec) { dbTtree::insert(&db, tree, rec, type, keySize(), compareBytes, keyOffset); }
  void remove(oid_t rec) { dbTtree::remove(&db, tree, rec, type, keySize(), compareBytes, keyOffset); }
  oid_t realRecord(real8 key) {
    oid_t oid = newRawRecord(db, keyOffset + 8);
    memcpy(db.getRow(oid) + keyOffset, &key, 8);
    return oid;
  }
  real8 realKey(oid_t oid) {
    real8 key;
    memcpy(&key, db.getRow(oid) + keyOffset, 8);
    return key;
  }
  oid_t root() { return reinterpret_cast<dbTtreeHeader*>(db.get(tree))->root; }
  dbTtreeNode node(oid_t id) { return *reinterpret_cast<dbTtreeNode*>(db.get(id)); }
  void restart() {
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
  }

  // The test's own key order, independent of the index's comparison.
  int order(oid_t a, oid_t b) {
    if (type == tpString) return stringKey(db, a).compare(stringKey(db, b));
    if (type == tpReal8) {
      real8 x = realKey(a), y = realKey(b);
      if (std::isnan(x) || std::isnan(y)) return std::isnan(y) - std::isnan(x);  // not-a-number first
      return x < y ? -1 : x > y ? 1 : 0;
    }
    int4 x = intKey(db, a), y = intKey(db, b);
    return x < y ? -1 : x > y ? 1 : 0;
  }

  // Checks fill and balance below id; appends its records in order and
  // returns its height.
  int checkNode(oid_t id, std::vector<oid_t>& records) {
    dbTtreeNode n = node(id);
    EXPECT_GE(n.nItems, 1) << "node " << id;
    EXPECT_LE(n.nItems, dbTtree::maxItems) << "node " << id;
    int left = n.left != 0 ? checkNode(n.left, records) : 0;
    records.insert(records.end(), n.item, n.item + n.nItems);
    int right = n.right != 0 ? checkNode(n.right, records) : 0;
    EXPECT_EQ(n.balance, right - left) << "node " << id;
    EXPECT_LE(std::abs(right - left), 1) << "node " << id;
    return 1 + std::max(left, right);
  }
  // Checks the whole tree against the records it must hold: in-order keys
  // non-decreasing, every record exactly once. Returns the height.
  int check(const std::vector<oid_t>& expected) {
    std::vector<oid_t> records;
    int height = root() != 0 ? checkNode(root(), records) : 0;
    for (size_t i = 1; i < records.size(); i++) {
      EXPECT_LE(order(records[i - 1], records[i]), 0) << "at " << i;
    }
    std::vector<bool> pending(db.getCurrentIndexSize());
    for (oid_t rec : expected) pending[rec] = true;
    for (oid_t rec : records) {
      EXPECT_TRUE(rec < pending.size() && pending[rec]) << "unexpected or repeated record " << rec;
      if (rec < pending.size()) pending[rec] = false;
    }
    EXPECT_EQ(records.size(), expected.size());
    return height;
  }

  // Every node with its links, balance and items, in preorder.
  std::vector<std::vector<nat4>> dump() {
    std::vector<std::vector<nat4>> nodes;
    std::vector<oid_t> pending{root()};
    while (!pending.empty()) {
      oid_t id = pending.back();
      pending.pop_back();
      if (id == 0) continue;
      dbTtreeNode n = node(id);
      std::vector<nat4> entry{id, n.left, n.right, static_cast<nat4>(n.balance)};
      entry.insert(entry.end(), n.item, n.item + n.nItems);
      nodes.push_back(entry);
      pending.push_back(n.right);
      pending.push_back(n.left);
    }
    return nodes;
  }

  // Random inserts and removals; the tree is checked after every step.
  void churn(std::mt19937& rng, std::vector<oid_t>& live, int steps, int insertPercent, int keyRange) {
    for (int step = 0; step < steps; step++) {
      if (live.empty() || static_cast<int>(rng() % 100) < insertPercent) {
        int4 key = static_cast<int4>(rng() % keyRange) - keyRange / 2;
        oid_t rec = type == tpString ? stringRecord(db, std::to_string(key)) : intRecord(db, key);
        insert(rec);
        live.push_back(rec);
      } else {
        size_t i = rng() % live.size();
        remove(live[i]);
        live[i] = live.back();
        live.pop_back();
      }
      if (step % 700 == 699) restart();  // later steps change committed nodes
      check(live);
      ASSERT_FALSE(HasFailure()) << "after step " << step;
    }
  }

  // No index entry of the file is a T-tree node any more.
  bool noNodesLeft() {
    for (oid_t id = dbFirstUserId; id < db.getCurrentIndexSize(); id++) {
      nat4 entry = db.getCurrentIndex()[id];
      if (!dbIsFreeEntry(entry) && (entry & dbFlagsMask) == dbTtreeNodeMarker) return false;
    }
    return true;
  }
};

// A tree of `copies` records for every key from 0 to keys - 1.
class TtreeSearchTest : public TtreeTest {
 protected:
  static constexpr int keys = 1000, copies = 3;
  std::vector<oid_t> records;
  dbCursor<TreeFound> cursor;

  void SetUp() override {
    TtreeTest::SetUp();
    std::mt19937 rng(3);
    std::vector<int4> order;
    for (int4 key = 0; key < keys; key++) order.insert(order.end(), copies, key);
    std::shuffle(order.begin(), order.end(), rng);
    for (int4 key : order) {
      records.push_back(intRecord(db, key));
      insert(records.back());
    }
  }

  dbKeyRange range(const int4* low, bool lowInclusive, const int4* high, bool highInclusive) {
    dbKeyRange r;
    r.cursor = &cursor;
    r.firstKey = low;
    r.firstKeyInclusive = lowInclusive;
    r.lastKey = high;
    r.lastKeyInclusive = highInclusive;
    r.type = tpInt4;
    r.keySize = 4;
    r.comparator = compareBytes;
    r.offset = keyOffset;
    return r;
  }
  std::vector<int4> keysOf(const std::vector<oid_t>& oids) {
    std::vector<int4> result;
    for (oid_t oid : oids) result.push_back(intKey(db, oid));
    return result;
  }
};

TEST_F(TtreeSearchTest, RangeBoundsAreInclusiveOrExclusive) {
  struct Case {
    std::optional<int4> low;
    bool lowInclusive;
    std::optional<int4> high;
    bool highInclusive;
  };
  const Case cases[] = {
      {{}, true, {}, true},       {500, true, 500, true},    {500, false, 500, false}, {500, false, 501, true},
      {500, true, 502, false},    {-5, true, 3, false},      {998, true, {}, true},    {{}, true, 0, false},
      {{}, false, 0, true},       {1500, true, {}, true},    {-1, false, -1, true},    {999, false, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.low ? *c.low : -9999) << c.lowInclusive << " "
                                    << (c.high ? *c.high : 9999) << c.highInclusive);
    std::vector<int4> expected;
    for (int4 key = 0; key < keys; key++) {
      bool aboveLow = !c.low || (c.lowInclusive ? key >= *c.low : key > *c.low);
      bool belowHigh = !c.high || (c.highInclusive ? key <= *c.high : key < *c.high);
      if (aboveLow && belowHigh) expected.insert(expected.end(), copies, key);
    }
    cursor.reset();
    dbKeyRange r = range(c.low ? &*c.low : nullptr, c.lowInclusive, c.high ? &*c.high : nullptr, c.highInclusive);
    EXPECT_TRUE(dbTtree::find(&db, tree, r));
    std::vector<oid_t> found = selected(cursor);
    EXPECT_EQ(keysOf(found), expected);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(std::adjacent_find(found.begin(), found.end()), found.end()) << "a record found twice";
  }
}

TEST_F(TtreeSearchTest, ACursorThatWantsNoMoreStopsTheSearch) {
  dbKeyRange all = range(nullptr, true, nullptr, true);
  dbTtree::find(&db, tree, all);
  long everyNode = all.probes;
  EXPECT_GE(everyNode, keys * copies / dbTtree::maxItems);

  cursor.reset();
  cursor.setMaxRecords(5);
  dbKeyRange limited = range(nullptr, true, nullptr, true);
  EXPECT_FALSE(dbTtree::find(&db, tree, limited));
  EXPECT_EQ(cursor.getNumberOfRecords(), 5u);
  EXPECT_LE(limited.probes, check(records));  // only the path down to the first node

  for (auto traversal : {dbTtree::traverseForward, dbTtree::traverseBackward}) {
    cursor.reset();
    EXPECT_FALSE(traversal(&db, tree, &cursor, nullptr));
    EXPECT_EQ(cursor.getNumberOfRecords(), 5u);
  }
}

TEST_F(TtreeSearchTest, TraversalsHandEveryRecordInKeyOrder) {
  std::vector<int4> ascending;
  for (int4 key = 0; key < keys; key++) ascending.insert(ascending.end(), copies, key);
  EXPECT_TRUE(dbTtree::traverseForward(&db, tree, &cursor));
  EXPECT_EQ(keysOf(selected(cursor)), ascending);
  cursor.reset();
  EXPECT_TRUE(dbTtree::traverseBackward(&db, tree, &cursor));
  std::reverse(ascending.begin(), ascending.end());
  EXPECT_EQ(keysOf(selected(cursor)), ascending);

  oid_t empty = dbTtree::create(&db);
  cursor.reset();
  dbKeyRange all = range(nullptr, true, nullptr, true);
  EXPECT_TRUE(dbTtree::find(&db, empty, all));
  EXPECT_TRUE(dbTtree::traverseForward(&db, empty, &cursor));
  EXPECT_EQ(cursor.getNumberOfRecords(), 0u);
}

TEST_F(TtreeTest, StringKeysCompareByteWise) {
  type = tpString;
  for (const char* text : {"a", "B", "b", "A", "\xe9", "", "ab"}) insert(stringRecord(db, text));
  dbCursor<TreeFound> cursor;
  dbTtree::traverseForward(&db, tree, &cursor);
  std::vector<std::string> texts;
  for (oid_t oid : selected(cursor)) texts.push_back(stringKey(db, oid));
  EXPECT_EQ(texts, (std::vector<std::string>{"", "A", "B", "a", "ab", "b", "\xe9"}));

  cursor.reset();
  dbKeyRange r;
  r.cursor = &cursor;
  r.firstKey = "B";
  r.lastKey = "a";
  r.type = tpString;
  r.offset = keyOffset;
  dbTtree::find(&db, tree, r);
  texts.clear();
  for (oid_t oid : selected(cursor)) texts.push_back(stringKey(db, oid));
  EXPECT_EQ(texts, (std::vector<std::string>{"B", "a"}));
}

TEST(IndexKeyTest, EveryTypeComparesByItsOwnRule) {
  auto cmp = [](int type, auto a, auto b) {
    int diff = dbCompareKeys(type, &a, &b, sizeof a, compareBytes);
    return diff < 0 ? -1 : diff > 0 ? 1 : 0;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(cmp(tpBool, nat1(0), nat1(1)), -1);
  EXPECT_EQ(cmp(tpBool, nat1(200), nat1(1)), 1);
  EXPECT_EQ(cmp(tpInt1, int1(-1), int1(1)), -1);  // signed, not 255 against 1
  EXPECT_EQ(cmp(tpInt2, int2(-300), int2(300)), -1);
  EXPECT_EQ(cmp(tpInt2, int2(7), int2(7)), 0);
  EXPECT_EQ(cmp(tpInt4, std::numeric_limits<int4>::min(), int4(1)), -1);
  EXPECT_EQ(cmp(tpInt4, int4(5), int4(-5)), 1);
  EXPECT_EQ(cmp(tpInt8, int8(-1), int8(1)), -1);                   // high words signed
  EXPECT_EQ(cmp(tpInt8, int8(0x80000000LL), int8(1)), 1);          // low words unsigned
  EXPECT_EQ(cmp(tpInt8, int8(0x100000000LL), int8(0xFFFFFFFFLL)), 1);
  EXPECT_EQ(cmp(tpInt8, int8(42), int8(42)), 0);
  EXPECT_EQ(cmp(tpReal4, real4(1.5), real4(1.5)), 0);
  EXPECT_EQ(cmp(tpReal4, real4(2), real4(-2)), 1);
  EXPECT_EQ(cmp(tpReal4, real4(nan), real4(1)), -1);
  EXPECT_EQ(cmp(tpReal8, real8(-0.5), real8(0.5)), -1);
  EXPECT_EQ(cmp(tpReal8, nan, -1e300), -1);  // not-a-number first, a total order
  EXPECT_EQ(cmp(tpReal8, 1.0, nan), 1);
  EXPECT_EQ(cmp(tpReal8, nan, nan), 0);
  EXPECT_EQ(cmp(tpReference, oid_t(0x80000000u), oid_t(1)), 1);  // unsigned
  EXPECT_EQ(cmp(tpReference, oid_t(9), oid_t(9)), 0);
  EXPECT_EQ(dbCompareKeys(tpString, "B", "a", 0, nullptr) < 0, true);
  EXPECT_EQ(dbCompareKeys(tpString, "\xe9", "a", 0, nullptr) > 0, true);  // unsigned bytes
  EXPECT_EQ(dbCompareKeys(tpString, "ab", "a", 0, nullptr) > 0, true);
  EXPECT_EQ(dbCompareKeys(tpString, "ab", "ab", 0, nullptr), 0);
  byte raw1[3] = {1, 2, 3}, raw2[3] = {1, 2, 4};
  EXPECT_LT(dbCompareKeys(tpRawBinary, raw1, raw2, 3, compareBytes), 0);
  EXPECT_EQ(dbCompareKeys(tpRawBinary, raw1, raw2, 2, compareBytes), 0);  // the field's size only
  for (int type : {tpArray, tpStructure, tpMethodInt4, tpAbsent}) {
    EXPECT_THROW(dbCompareKeys(type, raw1, raw2, 3, compareBytes), dbException) << type;
  }
}

struct ChurnCase {
  const char* name;
  int type;
  int keyRange;
  unsigned seed;
};
void PrintTo(const ChurnCase& c, std::ostream* os) { *os << c.name; }

class TtreeChurnTest : public TtreeTest, public ::testing::WithParamInterface<ChurnCase> {};

TEST_P(TtreeChurnTest, StaysOrderedFilledAndBalancedThroughInsertsAndRemovals) {
  type = GetParam().type;
  std::mt19937 rng(GetParam().seed);
  std::vector<oid_t> live;
  churn(rng, live, 2500, 70, GetParam().keyRange);
  EXPECT_GE(check(live), 4);  // deep enough for rotations at several levels
  churn(rng, live, 2000, 30, GetParam().keyRange);
  while (!live.empty()) {
    remove(live.back());
    live.pop_back();
    check(live);
    ASSERT_FALSE(HasFailure()) << live.size() << " records left";
  }
  EXPECT_EQ(root(), 0u);
  EXPECT_TRUE(noNodesLeft());
}

INSTANTIATE_TEST_SUITE_P(Keys, TtreeChurnTest,
                         ::testing::Values(ChurnCase{"ManyEqualIntegers", tpInt4, 40, 11},
                                           ChurnCase{"DistinctIntegers", tpInt4, 1000000, 12},
                                           ChurnCase{"Texts", tpString, 300, 13}),
                         [](const auto& info) { return std::string(info.param.name); });

// Interleaved runs of rising and falling keys grow new nodes in several
// places of the tree, and removing whole key ranges, alternately from the top
// and the bottom, empties subtrees: both drive every kind of rotation. The
// tree must be deep enough for rotations through nodes that have children of
// their own; it is checked at short intervals, since a wrong balance stays.
TEST_F(TtreeTest, RotatesCorrectlyUnderInterleavedRunsAndRangeRemovals) {
  for (int streams : {4, 6, -4}) {  // negative: the mirror image
    SCOPED_TRACE(streams);
    std::mt19937 rng(streams + 10);
    int mirror = streams < 0 ? -1 : 1;
    streams *= mirror;
    std::vector<oid_t> live;
    for (int step = 0; step < 20000; step++) {
      live.push_back(intRecord(db, mirror * ((step % streams) * 100000 + (step % 2 ? step : -step))));
      insert(live.back());
      if (step % 3000 == 2999) restart();
      if (step % 64 == 0) check(live);
      ASSERT_FALSE(HasFailure()) << "after insert " << step;
    }
    std::vector<oid_t> sorted = live;
    std::sort(sorted.begin(), sorted.end(), [&](oid_t a, oid_t b) { return intKey(db, a) < intKey(db, b); });
    std::vector<bool> removed(db.getCurrentIndexSize());
    const int chunks = 10;
    size_t per = sorted.size() / chunks;
    for (int c = 0; c < chunks; c++) {
      int chunk = c % 2 ? c / 2 : chunks - 1 - c / 2;
      std::vector<oid_t> block(sorted.begin() + chunk * per, sorted.begin() + (chunk + 1) * per);
      std::shuffle(block.begin(), block.end(), rng);
      for (size_t i = 0; i < block.size(); i++) {
        remove(block[i]);
        removed[block[i]] = true;
        if (i % 64 == 0 || i + 1 == block.size()) {
          std::erase_if(live, [&](oid_t rec) { return removed[rec]; });
          check(live);
        }
        ASSERT_FALSE(HasFailure()) << live.size() << " records left";
      }
    }
    EXPECT_EQ(root(), 0u);
  }
}

// Not-a-number keys must not break the order of the tree: they sort before
// every number and equal each other, so every record can still be found and
// removed.
TEST_F(TtreeTest, NotANumberKeysKeepTheTreeUsable) {
  type = tpReal8;
  std::mt19937 rng(21);
  std::vector<oid_t> live;
  for (int i = 0; i < 2000; i++) {
    real8 key = rng() % 10 == 0 ? std::numeric_limits<real8>::quiet_NaN() : static_cast<real8>(rng() % 500);
    live.push_back(realRecord(key));
    insert(live.back());
  }
  check(live);
  std::shuffle(live.begin(), live.end(), rng);
  while (!live.empty()) {
    remove(live.back());
    live.pop_back();
    if (live.size() % 50 == 0) check(live);
    ASSERT_FALSE(HasFailure()) << live.size() << " records left";
  }
  EXPECT_EQ(root(), 0u);
}

TEST_F(TtreeTest, AscendingKeysFillTheRootThenGrowARightChild) {
  std::vector<oid_t> live;
  for (int4 key = 0; key < dbTtree::maxItems; key++) {
    live.push_back(intRecord(db, key));
    insert(live.back());
  }
  dbTtreeNode r = node(root());
  EXPECT_EQ(r.nItems, dbTtree::maxItems);
  EXPECT_EQ(r.left, 0u);
  EXPECT_EQ(r.right, 0u);
  EXPECT_EQ(r.balance, 0);

  oid_t last = intRecord(db, dbTtree::maxItems);
  insert(last);
  r = node(root());
  EXPECT_EQ(r.nItems, dbTtree::maxItems);
  ASSERT_NE(r.right, 0u);
  EXPECT_EQ(r.balance, 1);
  dbTtreeNode child = node(r.right);
  EXPECT_EQ(child.nItems, 1);
  EXPECT_EQ(child.item[0], last);
}

TEST_F(TtreeTest, EqualKeyGoesBeforeTheFirstItem) {
  oid_t first = intRecord(db, 5), second = intRecord(db, 5), third = intRecord(db, 9);
  insert(first);
  insert(third);
  insert(second);
  dbTtreeNode r = node(root());
  ASSERT_EQ(r.nItems, 3);
  EXPECT_EQ(r.item[0], second);
  EXPECT_EQ(r.item[1], first);
  EXPECT_EQ(r.item[2], third);
}

TEST_F(TtreeTest, RemovingTheOnlyItemOfALeafFreesItAndClearsTheLink) {
  for (int4 key = 0; key <= dbTtree::maxItems; key++) insert(intRecord(db, key));
  oid_t leaf = node(root()).right;
  oid_t only = node(leaf).item[0];
  remove(only);
  EXPECT_TRUE(dbIsFreeEntry(db.getCurrentIndex()[leaf]));
  dbTtreeNode r = node(root());
  EXPECT_EQ(r.right, 0u);
  EXPECT_EQ(r.balance, 0);
  EXPECT_EQ(r.nItems, dbTtree::maxItems);
}

TEST_F(TtreeTest, RemovingARecordThatIsNotThereFailsTheInternalCheck) {
  oid_t present = intRecord(db, 3), absent = intRecord(db, 3), other = intRecord(db, 7);
  insert(present);
  insert(other);
  for (oid_t rec : {absent, present}) {
    if (rec == present) setIntKey(db, rec, 8);  // the key changed since insertion
    try {
      remove(rec);
      ADD_FAILURE() << "no exception for " << rec;
    } catch (const dbException& e) {
      EXPECT_EQ(e.getErrCode(), 0);
    }
  }
  oid_t emptyTree = dbTtree::create(&db);
  EXPECT_THROW(dbTtree::remove(&db, emptyTree, present, tpInt4, 4, compareBytes, keyOffset), dbException);
}

TEST_F(TtreeTest, DropFreesEveryNodeAndTheHeader) {
  for (int i = 0; i < 1000; i++) insert(intRecord(db, i % 97));
  restart();  // dropping committed nodes only makes them private
  dbTtree::drop(&db, tree);
  EXPECT_TRUE(dbIsFreeEntry(db.getCurrentIndex()[tree]));
  EXPECT_TRUE(noNodesLeft());
}

TEST_F(TtreeTest, RollbackAndCrashRecoveryRestoreTheCommittedTree) {
  std::mt19937 rng(7);
  std::vector<oid_t> live;
  for (int i = 0; i < 2000; i++) {
    live.push_back(intRecord(db, static_cast<int4>(rng() % 300)));
    insert(live.back());
  }
  restart();
  auto committed = dump();
  std::vector<oid_t> committedLive = live;

  churn(rng, live, 600, 50, 300);
  ASSERT_NE(dump(), committed);
  // The file as a crash would leave it: dirty, with this transaction's index.
  std::string crashed = dir.file("crashed.rvd");
  std::filesystem::copy_file(file, crashed);
  db.rollback();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_EQ(dump(), committed);
  check(committedLive);
  db.commit();
  db.close();

  ASSERT_TRUE(db.open(uniqueName("crashed").c_str(), crashed.c_str()));
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_EQ(dump(), committed);
  check(committedLive);
}

}  // namespace
