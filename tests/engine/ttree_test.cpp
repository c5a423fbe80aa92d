// The T-tree index on raw records: structure after every step of randomized
// runs, the documented edge cases of insertion and removal, key comparison
// of every type, range search and traversals, rollback and crash recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "engine/database.h"
#include "engine/index_key.h"
#include "engine/ttree.h"
#include "tests/engine/index_records.h"
#include "tests/support/temp_dir.h"

namespace {

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

  void insert(oid_t rec) { dbTtree::insert(&db, tree, rec, type, 4, compareBytes, keyOffset); }
  void remove(oid_t rec) { dbTtree::remove(&db, tree, rec, type, 4, compareBytes, keyOffset); }
  oid_t root() { return reinterpret_cast<dbTtreeHeader*>(db.get(tree))->root; }
  dbTtreeNode node(oid_t id) { return *reinterpret_cast<dbTtreeNode*>(db.get(id)); }
  void restart() {
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
  }

  // The test's own key order, independent of the index's comparison.
  int order(oid_t a, oid_t b) {
    if (type == tpString) return stringKey(db, a).compare(stringKey(db, b));
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

struct ChurnCase {
  int type;
  int keyRange;
  unsigned seed;
};

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
                         ::testing::Values(ChurnCase{tpInt4, 40, 11},         // many equal keys
                                           ChurnCase{tpInt4, 1000000, 12},    // nearly all distinct
                                           ChurnCase{tpString, 300, 13}));  // texts, some equal

// Interleaved runs of rising and falling keys grow new nodes in several
// places of the tree, and removing whole key ranges, alternately from the top
// and the bottom, empties subtrees: both drive every kind of rotation. The
// tree must be deep enough for rotations through nodes that have children of
// their own; it is checked at short intervals, since a wrong balance stays.
TEST_F(TtreeTest, RotatesCorrectlyUnderInterleavedRunsAndRangeRemovals) {
  for (int streams : {4, 6}) {
    SCOPED_TRACE(streams);
    std::mt19937 rng(streams);
    std::vector<oid_t> live;
    for (int step = 0; step < 20000; step++) {
      live.push_back(intRecord(db, (step % streams) * 100000 + (step % 2 ? step : -step)));
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
  {
    std::ifstream in(file, std::ios::binary);
    std::ofstream out(crashed, std::ios::binary);
    out << in.rdbuf();
  }
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
