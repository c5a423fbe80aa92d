// Index upkeep through the record operations and the schema: inserts,
// updates and removals keep every index right, an update touches only the
// indices of changed fields, an index declared on a table with rows is built
// at the next open, and indices found in the file stay in use.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/describe.h"
#include "engine/hash_table.h"
#include "engine/query/compiler.h"
#include "engine/query/cursor.h"
#include "engine/table_record.h"
#include "engine/ttree.h"
#include "tests/support/temp_dir.h"

namespace {

// One table, "Item", in two declarations of the same layout: without
// indices, and with a hash and a T-tree on name, a T-tree on n and a hash on w.
struct ItemBare {
  char const* name;
  int4 n;
  real8 w;
  int4 plain;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(n), FIELD(w), FIELD(plain)));
};
struct ItemIndexed {
  char const* name;
  int4 n;
  real8 w;
  int4 plain;
  TYPE_DESCRIPTOR((KEY(name, HASHED | INDEXED), KEY(n, INDEXED), KEY(w, HASHED), FIELD(plain)));
};

// ItemIndexed with the other index added where a field has one.
struct ItemDoubled {
  char const* name;
  int4 n;
  real8 w;
  int4 plain;
  TYPE_DESCRIPTOR((KEY(name, HASHED | INDEXED), KEY(n, HASHED | INDEXED), KEY(w, HASHED | INDEXED), FIELD(plain)));
};

template <class T>
dbTableDescriptor* declare() {
  return new dbTableDescriptor("Item", nullptr, sizeof(T), &T::template dbDescribeComponents<T>);
}

struct Values {
  std::string name;
  int4 n;
  real8 w;
};

class IndexUpkeepTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("upkeep");
  std::string file = dir.file("upkeep.rvd");
  dbDatabase db;
  dbTableDescriptor* table = nullptr;
  std::map<oid_t, Values> rows;

  void TearDown() override { reopen(nullptr); }

  // Closes the database and opens it again with the table declared by make.
  void reopen(dbTableDescriptor* (*make)()) {
    if (db.isOpen()) db.close();
    delete table;
    table = nullptr;
    if (make == nullptr) return;
    table = make();
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  }

  dbFieldDescriptor* field(const char* fieldName) {
    for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextInTable) {
      if (fd->path == fieldName) return fd;
    }
    return nullptr;
  }

  oid_t insertRow(const Values& v) {
    ItemBare object{v.name.c_str(), v.n, v.w, 7};
    oid_t oid = db.insertRecord(table, &object);
    rows[oid] = v;
    return oid;
  }
  void updateRow(oid_t oid, const Values& v) {
    ItemBare object{v.name.c_str(), v.n, v.w, 8};
    db.updateRecord(oid, table, &object);
    rows[oid] = v;
  }
  void removeRow(oid_t oid) {
    db.removeRecord(table, oid);
    rows.erase(oid);
  }

  static std::vector<oid_t> selected(dbAnyCursor& cursor) {
    std::vector<oid_t> oids;
    for (auto* seg = cursor.getSelection().first; seg != nullptr; seg = seg->next) {
      oids.insert(oids.end(), seg->rows, seg->rows + seg->count);
    }
    return oids;
  }

  // The records of a field's T-tree in order, checked against the rows.
  template <typename Key>
  void checkTree(const dbFieldDescriptor* fd, Key (*key)(const Values&)) {
    ASSERT_NE(fd->treeIndex, 0u) << fd->path;
    ItemBare object{};
    dbAnyCursor cursor(*table, dbViewOnly, reinterpret_cast<byte*>(&object));
    dbTtree::traverseForward(&db, fd->treeIndex, &cursor);
    std::vector<oid_t> found = selected(cursor);
    for (size_t i = 0; i < found.size(); i++) {
      ASSERT_TRUE(rows.count(found[i])) << fd->path << ": stale record " << found[i];
      if (i > 0) {
        EXPECT_LE(key(rows[found[i - 1]]), key(rows[found[i]])) << fd->path << " at " << i;
      }
    }
    std::sort(found.begin(), found.end());
    std::vector<oid_t> expected;
    for (auto& [oid, v] : rows) expected.push_back(oid);
    EXPECT_EQ(found, expected) << fd->path;
  }

  // Every key of the rows finds exactly its rows through a field's hash,
  // and the table holds no other item.
  template <typename Key>
  void checkHash(const dbFieldDescriptor* fd, Key (*key)(const Values&)) {
    ASSERT_NE(fd->hashIndex, 0u) << fd->path;
    std::map<Key, std::set<oid_t>> byKey;
    for (auto& [oid, v] : rows) byKey[key(v)].insert(oid);
    ItemBare object{};
    for (auto& [k, oids] : byKey) {
      dbAnyCursor cursor(*table, dbViewOnly, reinterpret_cast<byte*>(&object));
      dbKeyRange r;
      r.cursor = &cursor;
      if constexpr (std::is_same_v<Key, std::string>) {
        r.firstKey = k.c_str();
      } else {
        r.firstKey = &k;
      }
      r.type = fd->storedType;
      r.keySize = fd->storedSize;
      r.comparator = fd->compare;
      r.offset = fd->storedOffset;
      dbHashTable::find(&db, fd->hashIndex, r);
      std::vector<oid_t> found = selected(cursor);
      EXPECT_EQ(std::set<oid_t>(found.begin(), found.end()), oids) << fd->path;
      EXPECT_EQ(found.size(), oids.size()) << fd->path;
    }
    dbHashTableHeader h = *reinterpret_cast<dbHashTableHeader*>(db.get(fd->hashIndex));
    size_t items = 0;
    for (nat4 b = 0; b < h.size; b++) {
      oid_t id = reinterpret_cast<oid_t*>(db.get(h.page + b / 1024))[b % 1024];
      for (; id != 0; id = reinterpret_cast<dbHashTableItem*>(db.get(id))->next) items++;
    }
    EXPECT_EQ(items, rows.size()) << fd->path;
  }

  std::vector<oid_t> treeNodes(oid_t tree) {
    std::vector<oid_t> nodes;
    std::vector<oid_t> pending{reinterpret_cast<dbTtreeHeader*>(db.get(tree))->root};
    while (!pending.empty()) {
      oid_t id = pending.back();
      pending.pop_back();
      if (id == 0) continue;
      nodes.push_back(id);
      auto* node = reinterpret_cast<dbTtreeNode*>(db.get(id));
      pending.push_back(node->left);
      pending.push_back(node->right);
    }
    return nodes;
  }

  static std::string nameOf(const Values& v) { return v.name; }
  static int4 nOf(const Values& v) { return v.n; }
  static real8 wOf(const Values& v) { return v.w; }

  void checkAll() {
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    checkTree(field("name"), nameOf);
    checkHash(field("name"), nameOf);
    checkTree(field("n"), nOf);
    checkHash(field("w"), wOf);
  }

  Values randomValues(std::mt19937& rng) {
    return {"item" + std::to_string(rng() % 30), static_cast<int4>(rng() % 50) - 25, (rng() % 20) * 0.5};
  }
};

TEST_F(IndexUpkeepTest, InsertsUpdatesAndRemovalsKeepEveryIndexRight) {
  reopen(declare<ItemIndexed>);
  std::mt19937 rng(17);
  for (int step = 0; step < 1500; step++) {
    unsigned action = rng() % 10;
    if (rows.empty() || action < 5) {
      insertRow(randomValues(rng));
    } else {
      auto it = std::next(rows.begin(), rng() % rows.size());
      if (action < 8) {
        Values v = it->second;
        Values other = randomValues(rng);
        unsigned which = rng() % 8;  // any subset of the three indexed fields
        if (which & 1) v.name = other.name;
        if (which & 2) v.n = other.n;
        if (which & 4) v.w = other.w;
        updateRow(it->first, v);
      } else {
        removeRow(it->first);
      }
    }
    if (step % 100 == 99) db.commit();
    checkAll();
    ASSERT_FALSE(HasFailure()) << "after step " << step;
  }
}

TEST_F(IndexUpkeepTest, AnUpdateTouchesOnlyTheIndicesOfChangedFields) {
  reopen(declare<ItemIndexed>);
  std::mt19937 rng(3);
  for (int i = 0; i < 400; i++) insertRow(randomValues(rng));
  db.commit();

  // Every object of the indices of name and w, all committed now.
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  std::vector<oid_t> objects = treeNodes(field("name")->treeIndex);
  for (oid_t hash : {field("name")->hashIndex, field("w")->hashIndex}) {
    objects.push_back(hash);
    dbHashTableHeader h = *reinterpret_cast<dbHashTableHeader*>(db.get(hash));
    for (nat4 p = 0; p < (h.size + 1) / 1024; p++) objects.push_back(h.page + p);
  }
  std::vector<oid_t> nNodes = treeNodes(field("n")->treeIndex);

  auto [oid, v] = *rows.begin();
  v.n += 1000;  // now the greatest n: its T-tree changes
  updateRow(oid, v);
  for (oid_t id : objects) EXPECT_TRUE(db.isCommitted(id)) << "object " << id << " was written";
  EXPECT_FALSE(std::all_of(nNodes.begin(), nNodes.end(), [&](oid_t id) { return db.isCommitted(id); }));
  checkAll();
}

// Searches and traversals hand only the records that also satisfy the
// condition, in index order.
TEST_F(IndexUpkeepTest, ConditionFiltersWhatTheIndicesFind) {
  reopen(declare<ItemIndexed>);
  std::mt19937 rng(4);
  for (int i = 0; i < 500; i++) insertRow(randomValues(rng));
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  dbQuery query("n > 0 and w < 5");
  ASSERT_TRUE(db.getThreadContext()->getCompiler().compile(&db, table, query));
  auto satisfies = [](const Values& v) { return v.n > 0 && v.w < 5; };

  ItemBare object{};
  dbAnyCursor cursor(*table, dbViewOnly, reinterpret_cast<byte*>(&object));
  const dbFieldDescriptor* n = field("n");
  dbKeyRange r;
  r.condition = query.tree;
  r.cursor = &cursor;
  int4 low = -10, high = 10;
  r.firstKey = &low;
  r.lastKey = &high;
  r.type = n->storedType;
  r.keySize = n->storedSize;
  r.comparator = n->compare;
  r.offset = n->storedOffset;
  dbTtree::find(&db, n->treeIndex, r);
  std::vector<oid_t> found = selected(cursor);
  std::multiset<int4> expected, got;
  size_t inRange = 0;
  for (auto& [oid, v] : rows) {
    bool within = v.n >= low && v.n <= high;
    inRange += within;
    if (satisfies(v) && within) expected.insert(v.n);
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_LT(expected.size(), inRange);  // the condition did filter
  for (oid_t oid : found) {
    EXPECT_TRUE(satisfies(rows[oid])) << oid;
    got.insert(rows[oid].n);
  }
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end(), [&](oid_t a, oid_t b) { return rows[a].n < rows[b].n; }));

  cursor.reset();
  dbTtree::traverseBackward(&db, n->treeIndex, &cursor, query.tree);
  found = selected(cursor);
  EXPECT_EQ(found.size(), static_cast<size_t>(std::count_if(rows.begin(), rows.end(),
                                                            [&](auto& row) { return satisfies(row.second); })));
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end(), [&](oid_t a, oid_t b) { return rows[a].n > rows[b].n; }));

  const dbFieldDescriptor* w = field("w");
  real8 key = 2.5;
  cursor.reset();
  dbKeyRange h;
  h.condition = query.tree;
  h.cursor = &cursor;
  h.firstKey = &key;
  h.type = w->storedType;
  h.keySize = w->storedSize;
  h.comparator = w->compare;
  h.offset = w->storedOffset;
  dbHashTable::find(&db, w->hashIndex, h);
  found = selected(cursor);
  std::set<oid_t> hashExpected;
  for (auto& [oid, v] : rows) {
    if (satisfies(v) && v.w == key) hashExpected.insert(oid);
  }
  EXPECT_FALSE(hashExpected.empty());
  EXPECT_EQ(std::set<oid_t>(found.begin(), found.end()), hashExpected);
  EXPECT_EQ(found.size(), hashExpected.size());
}

TEST_F(IndexUpkeepTest, IndicesFollowTheDeclarationAcrossOpens) {
  reopen(declare<ItemBare>);
  std::mt19937 rng(9);
  for (int i = 0; i < 600; i++) insertRow(randomValues(rng));
  db.commit();
  EXPECT_EQ(field("n")->treeIndex, 0u);

  // Declared since: built and filled at this open, and stored.
  reopen(declare<ItemIndexed>);
  checkAll();
  oid_t nameHash = field("name")->hashIndex;
  oid_t nameTree = field("name")->treeIndex;
  {
    dbTable* t = dbTableOf(db.getRow(table->tableId));
    dbField* entries = dbFieldsOf(db.getRow(table->tableId));
    ASSERT_EQ(t->fields.size, 4u);
    EXPECT_EQ(entries[0].hashTable, nameHash);
    EXPECT_EQ(entries[0].tTree, nameTree);
    EXPECT_EQ(entries[1].tTree, field("n")->treeIndex);
    EXPECT_EQ(entries[2].hashTable, field("w")->hashIndex);
  }
  db.commit();

  // No longer declared: the indices found in the file stay and are kept up,
  // but a field with a T-tree keeps only that.
  reopen(declare<ItemBare>);
  EXPECT_EQ(field("name")->treeIndex, nameTree);
  EXPECT_EQ(field("name")->hashIndex, 0u);
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_TRUE(dbIsFreeEntry(db.getCurrentIndex()[nameHash]) ||
              (db.getCurrentIndex()[nameHash] & dbFlagsMask) != dbHashTableMarker);
  EXPECT_EQ(dbFieldsOf(db.getRow(table->tableId))[0].hashTable, 0u);
  for (int i = 0; i < 200; i++) {
    if (i % 3 == 0) {
      removeRow(std::next(rows.begin(), rng() % rows.size())->first);
    } else {
      insertRow(randomValues(rng));
    }
  }
  db.commit();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  checkTree(field("name"), nameOf);
  checkTree(field("n"), nOf);
  checkHash(field("w"), wOf);
}

// A field that has one index and is given the other: the new index is
// filled with every row, the old one keeps each row once.
TEST_F(IndexUpkeepTest, AnIndexAddedBesideAnotherFillsOnlyTheNewOne) {
  reopen(declare<ItemIndexed>);
  std::mt19937 rng(5);
  for (int i = 0; i < 300; i++) insertRow(randomValues(rng));
  db.commit();
  oid_t nTree = field("n")->treeIndex;
  oid_t wHash = field("w")->hashIndex;

  reopen(declare<ItemDoubled>);
  EXPECT_EQ(field("n")->treeIndex, nTree);
  EXPECT_EQ(field("w")->hashIndex, wHash);
  checkAll();
  checkHash(field("n"), nOf);
  checkTree(field("w"), wOf);
}

// A process that did not initialise the shared state (create false) may
// neither add an index to a committed table nor drop one.
TEST_F(IndexUpkeepTest, WithoutCreateTheIndicesOfACommittedTableStayAsTheyAre) {
  reopen(declare<ItemIndexed>);
  std::mt19937 rng(2);
  for (int i = 0; i < 50; i++) insertRow(randomValues(rng));
  db.commit();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  dbFieldDescriptor* n = field("n");
  dbFieldDescriptor* plain = field("plain");
  oid_t tree = n->treeIndex;

  plain->indexFlags |= INDEXED;  // newly asked for
  EXPECT_FALSE(db.updateIndices(table, false));
  EXPECT_EQ(plain->treeIndex, 0u);
  plain->indexFlags &= ~INDEXED;

  n->indexFlags &= ~INDEXED;  // no longer asked for
  EXPECT_FALSE(db.updateIndices(table, false));
  EXPECT_EQ(n->treeIndex, tree);
  EXPECT_EQ(dbFieldsOf(db.getRow(table->tableId))[1].tTree, tree);
  n->indexFlags |= INDEXED;

  EXPECT_TRUE(db.updateIndices(table, false));  // nothing to change
  checkAll();
}

}  // namespace
