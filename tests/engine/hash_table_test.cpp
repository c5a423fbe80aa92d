// The hash index on raw records: table sizes and pages, the hash code, chain
// order, removal, growth, the fill counter, the equality search, and the
// structure after every step of randomized runs, a rollback and a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/database.h"
#include "engine/describe.h"
#include "engine/hash_table.h"
#include "engine/query/cursor.h"
#include "tests/engine/index_records.h"
#include "tests/support/temp_dir.h"

// The table of the cursors that receive what the searches find.
struct HashFound {
  int4 unused;
  TYPE_DESCRIPTOR((FIELD(unused)));
};
REGISTER(HashFound);

namespace {

class HashTableTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("hash");
  std::string file = dir.file("hash.rvd");
  dbDatabase db;
  int type = tpInt4;
  oid_t table = 0;
  dbCursor<HashFound> cursor;

  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    table = dbHashTable::create(&db, 0);
  }
  void TearDown() override {
    if (db.isOpen()) {
      db.rollback();
      db.close();
    }
  }
  void restart() {
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
  }

  void insert(oid_t rec, nat4 rows = 0) { dbHashTable::insert(&db, table, rec, type, 4, keyOffset, rows); }
  void remove(oid_t rec) { dbHashTable::remove(&db, table, rec, type, 4, keyOffset); }
  dbHashTableHeader header() { return *reinterpret_cast<dbHashTableHeader*>(db.get(table)); }
  oid_t bucket(nat4 b) {
    dbHashTableHeader h = header();
    return reinterpret_cast<oid_t*>(db.get(h.page + b / 1024))[b % 1024];
  }
  dbHashTableItem item(oid_t id) { return *reinterpret_cast<dbHashTableItem*>(db.get(id)); }

  // The test's own hash of a record's key.
  nat4 hashOf(oid_t rec) {
    std::string bytes;
    if (type == tpString) {
      bytes = stringKey(db, rec);
    } else {
      int4 key = intKey(db, rec);
      bytes.assign(reinterpret_cast<const char*>(&key), 4);
    }
    nat4 h = 0;
    for (unsigned char c : bytes) h = h * 31 + c;
    return h;
  }

  // Every record exactly once, in the chain of the bucket of its key's hash,
  // with that hash. Returns the number of non-empty buckets.
  nat4 check(const std::vector<oid_t>& expected) {
    dbHashTableHeader h = header();
    EXPECT_EQ((h.size + 1) & h.size, 0u) << "size " << h.size << " is not 2^k - 1";
    std::vector<int> seen(db.getCurrentIndexSize());
    size_t items = 0;
    nat4 nonEmpty = 0;
    for (nat4 b = 0; b <= h.size; b++) {
      oid_t id = bucket(b);
      if (b == h.size) {
        EXPECT_EQ(id, 0u) << "the last entry is never addressed";
        break;
      }
      if (id != 0) nonEmpty += 1;
      for (; id != 0; id = item(id).next) {
        dbHashTableItem it = item(id);
        EXPECT_EQ(it.hash, hashOf(it.record)) << "record " << it.record;
        EXPECT_EQ(it.hash % h.size, b) << "record " << it.record;
        if (it.record < seen.size()) seen[it.record] += 1;
        items += 1;
      }
    }
    EXPECT_EQ(items, expected.size());
    for (oid_t rec : expected) EXPECT_EQ(seen[rec], 1) << "record " << rec;
    return nonEmpty;
  }

  // Header fields but `used`, and every chain.
  std::vector<nat4> dump() {
    dbHashTableHeader h = header();
    std::vector<nat4> out{h.size, h.page};
    for (nat4 b = 0; b < h.size; b++) {
      for (oid_t id = bucket(b); id != 0; id = item(id).next) {
        out.insert(out.end(), {b, id, item(id).record, item(id).hash});
      }
    }
    return out;
  }

  std::vector<oid_t> find(int4 key) {
    cursor.reset();
    dbKeyRange r;
    r.cursor = &cursor;
    r.firstKey = &key;
    r.type = tpInt4;
    r.keySize = 4;
    r.comparator = compareBytes;
    r.offset = keyOffset;
    dbHashTable::find(&db, table, r);
    return selected();
  }
  std::vector<oid_t> find(const char* text, long* probes = nullptr) {
    cursor.reset();
    dbKeyRange r;
    r.cursor = &cursor;
    r.firstKey = text;
    r.type = tpString;
    r.offset = keyOffset;
    dbHashTable::find(&db, table, r);
    if (probes) *probes = r.probes;
    return selected();
  }
  std::vector<oid_t> selected() {
    std::vector<oid_t> oids;
    for (auto* seg = cursor.getSelection().first; seg != nullptr; seg = seg->next) {
      oids.insert(oids.end(), seg->rows, seg->rows + seg->count);
    }
    return oids;
  }

  // Whether any index entry is still an object of the marker.
  bool anyObjectOf(dbObjectMarker marker, oid_t from) {
    for (oid_t id = from; id < db.getCurrentIndexSize(); id++) {
      nat4 entry = db.getCurrentIndex()[id];
      if (!dbIsFreeEntry(entry) && (entry & dbFlagsMask) == marker) return true;
    }
    return false;
  }
};

// Sizes that are multiples of 31 (32767, 1048575) are skipped.
TEST_F(HashTableTest, NewTablesHaveDoubledSizesInConsecutiveZeroedPages) {
  struct Case {
    nat4 expectedRows, size;
  };
  for (Case c : {Case{0, 16383}, Case{16382, 16383}, Case{16383, 65535}, Case{40000, 65535}, Case{600000, 2097151}}) {
    SCOPED_TRACE(c.expectedRows);
    oid_t id = dbHashTable::create(&db, c.expectedRows);
    dbHashTableHeader h = *reinterpret_cast<dbHashTableHeader*>(db.get(id));
    EXPECT_EQ(h.size, c.size);
    EXPECT_EQ(h.used, 0u);
    nat4 pages = (c.size + 1) / 1024;
    nat4 first = db.getCurrentIndex()[h.page];
    EXPECT_EQ(first % dbPageSize, static_cast<nat4>(dbPageObjectMarker));
    for (nat4 p = 0; p < pages; p++) {
      EXPECT_EQ(db.getCurrentIndex()[h.page + p], first + p * dbPageSize);
      const oid_t* entries = reinterpret_cast<const oid_t*>(db.get(h.page + p));
      EXPECT_EQ(std::count(entries, entries + 1024, 0u), 1024);
    }
  }
}

TEST_F(HashTableTest, HashCodeIsTimes31PlusByte) {
  EXPECT_EQ(dbHashTable::hashCode(reinterpret_cast<const byte*>("abc"), 3), 96354u);
  EXPECT_EQ(dbHashTable::hashCode(reinterpret_cast<const byte*>(""), 0), 0u);
  const byte high[2] = {0xff, 0x01};  // bytes taken unsigned
  EXPECT_EQ(dbHashTable::hashCode(high, 2), 255u * 31 + 1);
  std::string longText(40, 'z');  // wraps in 32 bits
  nat4 h = 0;
  for (char c : longText) h = h * 31 + static_cast<byte>(c);
  EXPECT_EQ(dbHashTable::hashCode(reinterpret_cast<const byte*>(longText.data()), longText.size()), h);
}

TEST_F(HashTableTest, AStringFindsOnlyTheSameText) {
  type = tpString;
  oid_t abc = stringRecord(db, "abc"), ab = stringRecord(db, "ab"), other = stringRecord(db, "abd");
  for (oid_t rec : {abc, ab, other}) insert(rec);
  EXPECT_EQ(find("abc"), std::vector<oid_t>{abc});
  EXPECT_EQ(find("ab"), std::vector<oid_t>{ab});
  EXPECT_TRUE(find("a").empty());
  EXPECT_TRUE(find("abcd").empty());
}

TEST_F(HashTableTest, SameHashDifferentTextIsProbedButNotFound) {
  type = tpString;
  // "Aa" and "BB" have the same hash code: 65 * 31 + 97 = 66 * 31 + 66.
  oid_t aa = stringRecord(db, "Aa"), bb = stringRecord(db, "BB");
  insert(aa);
  insert(bb);
  long probes = 0;
  EXPECT_EQ(find("Aa", &probes), std::vector<oid_t>{aa});
  EXPECT_EQ(probes, 2);
}

TEST_F(HashTableTest, TheLaterOfEqualKeysComesFirst) {
  oid_t first = intRecord(db, 77), second = intRecord(db, 77);
  insert(first);
  insert(second);
  EXPECT_EQ(find(77), (std::vector<oid_t>{second, first}));
  cursor.setMaxRecords(1);
  EXPECT_EQ(find(77), std::vector<oid_t>{second});  // add answering false stops the walk
}

TEST_F(HashTableTest, RemovingTheOnlyItemClearsTheBucket) {
  oid_t rec = intRecord(db, 12345);
  insert(rec);
  nat4 b = hashOf(rec) % header().size;
  oid_t itemId = bucket(b);
  ASSERT_NE(itemId, 0u);
  EXPECT_EQ(header().used, 2u);
  remove(rec);
  EXPECT_EQ(bucket(b), 0u);
  EXPECT_EQ(header().used, 1u);
  EXPECT_TRUE(dbIsFreeEntry(db.getCurrentIndex()[itemId]));
  EXPECT_TRUE(find(12345).empty());
}

TEST_F(HashTableTest, RemovingARecordThatIsNotThereFailsTheInternalCheck) {
  oid_t present = intRecord(db, 1), absent = intRecord(db, 1);
  insert(present);
  try {
    remove(absent);
    ADD_FAILURE() << "no exception";
  } catch (const dbException& e) {
    EXPECT_EQ(e.getErrCode(), 0);
  }
}

TEST_F(HashTableTest, GrowthDoublesAndKeepsEveryRecordFindable) {
  std::vector<oid_t> live;
  oid_t oldPage = header().page;
  while (header().size == 16383) {
    ASSERT_LT(live.size(), 60000u);
    live.push_back(intRecord(db, static_cast<int4>(live.size()) * 7919));
    insert(live.back(), 100000);
  }
  dbHashTableHeader h = header();
  EXPECT_EQ(h.size, 65535u);  // 32767 is a multiple of 31
  for (nat4 p = 0; p < 64; p++) {
    EXPECT_EQ(db.getCurrentIndex()[h.page + p] & dbFlagsMask, static_cast<nat4>(dbPageObjectMarker));
  }
  for (nat4 p = 0; p < 16; p++) {
    nat4 entry = db.getCurrentIndex()[oldPage + p];
    EXPECT_TRUE(dbIsFreeEntry(entry) || (entry & dbFlagsMask) != dbPageObjectMarker) << "old page " << p;
  }
  // Growth set `used` to the non-empty buckets; the record that caused it
  // then added 2 if it went into an empty bucket.
  nat4 nonEmpty = check(live);
  dbHashTableItem last = item(bucket(hashOf(live.back()) % h.size));
  bool alone = last.record == live.back() && last.next == 0;
  EXPECT_EQ(h.used, nonEmpty + (alone ? 1 : 0));
  for (oid_t rec : {live.front(), live[live.size() / 2], live.back()}) {
    EXPECT_EQ(find(intKey(db, rec)), std::vector<oid_t>{rec});
  }
}

// The keys 0 to 49999 have only about 8000 hash codes, all multiples of 961;
// under 32767 buckets (31 x 1057) they would share 1057 buckets.
TEST_F(HashTableTest, SmallIntegerKeysGetABucketPerHashCode) {
  std::vector<oid_t> live;
  std::set<nat4> codes;
  for (int4 k = 0; k < 50000; k++) {
    live.push_back(intRecord(db, k));
    insert(live.back(), 1000000);
    codes.insert(hashOf(live.back()));
  }
  EXPECT_NE(header().size % 31, 0u);
  EXPECT_EQ(check(live), codes.size());
}

// Equal keys fill one bucket, so the fill counter stays at 2; more than four
// rows per bucket call for growth all the same.
TEST_F(HashTableTest, ManyRowsPerBucketGrowTheTable) {
  std::vector<oid_t> live;
  for (nat4 rows = 1; rows <= 65540; rows++) {
    live.push_back(intRecord(db, 7));
    insert(live.back(), rows);
    if (rows == 65535) {
      EXPECT_EQ(header().size, 16383u);
    }
  }
  EXPECT_EQ(header().size, 65535u);
  EXPECT_EQ(check(live), 1u);
  EXPECT_EQ(find(7).size(), live.size());
}

TEST_F(HashTableTest, NoGrowthWhenTheRowCountForbidsIt) {
  for (int4 i = 0; i < 40000; i++) insert(intRecord(db, i * 7919), 16383);
  EXPECT_EQ(header().size, 16383u);
  EXPECT_GT(2 * header().used / 3, header().size);
}

TEST_F(HashTableTest, DropFreesItemsPagesAndHeader) {
  for (int4 i = 0; i < 3000; i++) insert(intRecord(db, i % 500));
  restart();
  dbHashTable::drop(&db, table);
  EXPECT_TRUE(dbIsFreeEntry(db.getCurrentIndex()[table]));
  EXPECT_FALSE(anyObjectOf(dbHashTableItemMarker, dbFirstUserId));
  EXPECT_FALSE(anyObjectOf(dbPageObjectMarker, dbFirstUserId));
}

// Random inserts and removals with many equal keys and occasional commits;
// after every step the chains are checked and `used` follows its rule: 2 more
// for every bucket that became non-empty, 1 less for every emptied one, the
// count of non-empty buckets after growth.
TEST_F(HashTableTest, StaysConsistentThroughRandomInsertsAndRemovals) {
  for (int t : {tpInt4, tpString}) {
    type = t;
    SCOPED_TRACE(type);
    std::mt19937 rng(type);
    std::vector<oid_t> live;
    nat4 used = header().used;
    nat4 nonEmpty = check(live);
    for (int step = 0; step < 2000; step++) {
      if (live.empty() || rng() % 100 < 65) {
        int4 key = static_cast<int4>(rng() % 400);
        oid_t rec = type == tpString ? stringRecord(db, "k" + std::to_string(key)) : intRecord(db, key);
        insert(rec, static_cast<nat4>(live.size() + 1));
        live.push_back(rec);
      } else {
        size_t i = rng() % live.size();
        remove(live[i]);
        live[i] = live.back();
        live.pop_back();
      }
      nat4 now = check(live);
      if (now > nonEmpty) used += 2;
      if (now < nonEmpty) used -= 1;
      nonEmpty = now;
      EXPECT_EQ(header().used, used);
      if (step % 500 == 499) restart();
      ASSERT_FALSE(HasFailure()) << "after step " << step;
    }
    while (!live.empty()) {
      remove(live.back());
      live.pop_back();
    }
    check(live);
  }
}

TEST_F(HashTableTest, RollbackAndCrashRecoveryRestoreTheCommittedTable) {
  std::mt19937 rng(5);
  std::vector<oid_t> live;
  for (int i = 0; i < 3000; i++) {
    live.push_back(intRecord(db, static_cast<int4>(rng() % 1000)));
    insert(live.back());
  }
  restart();
  auto committed = dump();
  nat4 committedUsed = header().used;

  // The first change fills an empty bucket: the committed header counts it
  // once in place before its private copy is taken.
  oid_t fresh = intRecord(db, 5000);
  ASSERT_EQ(bucket(hashOf(fresh) % header().size), 0u);
  insert(fresh);
  for (int i = 0; i < 500; i++) {
    if (i % 2) {
      insert(intRecord(db, static_cast<int4>(rng() % 1000)));
    } else {
      size_t k = rng() % live.size();
      remove(live[k]);
      live.erase(live.begin() + k);
    }
  }
  ASSERT_NE(dump(), committed);
  std::string crashed = dir.file("crashed.rvd");
  std::filesystem::copy_file(file, crashed);
  db.rollback();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_EQ(dump(), committed);
  EXPECT_EQ(header().used, committedUsed + 1);
  db.commit();
  db.close();

  ASSERT_TRUE(db.open(uniqueName("crashed").c_str(), crashed.c_str()));
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_EQ(dump(), committed);
  EXPECT_EQ(header().used, committedUsed + 1);
}

}  // namespace
