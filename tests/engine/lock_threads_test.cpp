// The database lock among the threads of one process: upgrades, the deadlock
// of two upgrading readers, and readers yielding to writers. Each thread's
// progress is ordered by the monitor's counters, never by time.
#include <gtest/gtest.h>

#include "tests/engine/lock_support.h"
#include "tests/support/temp_dir.h"

namespace {

using Lock = dbDatabase::dbLockType;
constexpr Lock shared = dbDatabase::dbSharedLock;
constexpr Lock exclusive = dbDatabase::dbExclusiveLock;

// A database holding the test object with value 0.
struct OpenDatabase {
  LockDatabase db;
  OpenDatabase(const std::string& name, const std::string& file) {
    EXPECT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginTransaction(exclusive);
    EXPECT_EQ(createTestObject(db), testObject);
    writeTestObject(db, 0);
    db.commit();
  }
  ~OpenDatabase() { db.close(); }
};

class LockThreadsTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("lockthr");
  OpenDatabase open{name, dir.file("t.rvd")};
  LockDatabase& db = open.db;
  DbThread a{db}, b{db}, c{db}, d{db};

  std::function<void()> begin(Lock type) {
    return [this, type] { db.beginTransaction(type); };
  }
  std::function<void()> commit() {
    return [this] { db.commit(); };
  }
  std::function<void()> write(int4 v) {
    return [this, v] { writeTestObject(db, v); };
  }
  // Reads the test object in t's transaction, starting one when t has none.
  int4 readIn(DbThread& t) {
    int4 v = -1;
    t.call([&] {
      db.beginTransaction(shared);
      v = readTestObject(db);
    });
    return v;
  }
  template <class Cond>
  void waitFor(Cond cond) {
    ASSERT_TRUE(eventually([&] { return cond(db.counters()); }));
  }
};

TEST_F(LockThreadsTest, TheOnlyReaderUpgradesAtOnce) {
  a.call(begin(shared));
  a.call(begin(exclusive));
  LockCounters n = db.counters();
  EXPECT_EQ(n.writers, 1);
  EXPECT_EQ(n.readers, 0);
  EXPECT_EQ(n.waitingWriters, 0);
  a.call(write(5));
  a.call(commit());
  EXPECT_EQ(readIn(b), 5);
  b.call(commit());
}

TEST_F(LockThreadsTest, UpgradeWaitsUntilTheOtherReaderEnds) {
  a.call(begin(shared));
  b.call(begin(shared));
  std::future<void> upgrade = a.run(begin(exclusive));
  waitFor([](LockCounters n) { return n.upgradeWaiting == 1 && n.waitingWriters == 1; });
  EXPECT_FALSE(finished(upgrade));
  EXPECT_EQ(db.counters().readers, 2);

  b.call(commit());
  upgrade.get();
  LockCounters n = db.counters();
  EXPECT_EQ(n.writers, 1);
  EXPECT_EQ(n.readers, 0);
  EXPECT_EQ(n.upgradeWaiting, 0);
  EXPECT_EQ(n.waitingWriters, 0);
  a.call(write(6));
  a.call(commit());
  EXPECT_EQ(readIn(b), 6);
  b.call(commit());
}

TEST_F(LockThreadsTest, SecondUpgradingReaderGetsDeadlockAndTheFirstProceeds) {
  a.call(begin(shared));
  b.call(begin(shared));
  std::future<void> first = a.run(begin(exclusive));
  waitFor([](LockCounters n) { return n.upgradeWaiting == 1; });

  int code = -1;
  b.call([&] {
    try {
      db.beginTransaction(exclusive);
    } catch (const dbException& e) {
      code = e.getErrCode();
    }
  });
  EXPECT_EQ(code, Deadlock);
  LockCounters n = db.counters();  // unchanged by the refused request
  EXPECT_EQ(n.readers, 2);
  EXPECT_EQ(n.writers, 0);
  EXPECT_EQ(n.upgradeWaiting, 1);
  EXPECT_EQ(n.waitingWriters, 1);
  EXPECT_FALSE(finished(first));

  b.call([this] { db.rollback(); });
  first.get();
  n = db.counters();
  EXPECT_EQ(n.writers, 1);
  EXPECT_EQ(n.readers, 0);
  a.call(commit());
}

// A writer waits behind reader a; readers c and d arrive after it and wait
// too, although only a reader holds the lock; once the writer ends they are
// granted together.
TEST_F(LockThreadsTest, ReadersArrivingBehindAWaitingWriterWaitAndAreGrantedTogether) {
  struct Case {
    const char* what;
    bool change;
  };
  for (Case k : {Case{"writer commits a change", true}, Case{"writer ends without a change", false}}) {
    SCOPED_TRACE(k.what);
    int4 before = readIn(a);  // a holds the shared lock from here
    std::future<void> writer = b.run(begin(exclusive));
    waitFor([](LockCounters n) { return n.waitingWriters == 1; });
    std::future<void> r1 = c.run(begin(shared));
    std::future<void> r2 = d.run(begin(shared));
    waitFor([](LockCounters n) { return n.waitingReaders == 2; });
    EXPECT_EQ(db.counters().readers, 1);

    a.call(commit());
    writer.get();
    LockCounters n = db.counters();
    EXPECT_EQ(n.writers, 1);
    EXPECT_EQ(n.waitingReaders, 2);
    EXPECT_FALSE(finished(r1));
    EXPECT_FALSE(finished(r2));

    int4 after = k.change ? before + 1 : before;
    if (k.change) b.call(write(after));
    b.call(commit());
    r1.get();
    r2.get();
    n = db.counters();
    EXPECT_EQ(n.readers, 2);
    EXPECT_EQ(n.writers, 0);
    EXPECT_EQ(n.waitingReaders, 0);
    EXPECT_EQ(readIn(c), after);
    EXPECT_EQ(readIn(d), after);
    c.call(commit());
    d.call(commit());
  }
}

TEST_F(LockThreadsTest, ReleasingWriterPrefersAWaitingWriterToWaitingReaders) {
  a.call(begin(exclusive));
  std::future<void> writer = b.run(begin(exclusive));
  waitFor([](LockCounters n) { return n.waitingWriters == 1; });
  std::future<void> reader = c.run(begin(shared));
  waitFor([](LockCounters n) { return n.waitingReaders == 1; });

  a.call(commit());
  writer.get();
  EXPECT_FALSE(finished(reader));
  EXPECT_EQ(db.counters().waitingReaders, 1);
  b.call(write(9));
  b.call(commit());
  reader.get();
  EXPECT_EQ(readIn(c), 9);
  c.call(commit());
  LockCounters n = db.counters();
  EXPECT_EQ(n.readers, 0);
  EXPECT_EQ(n.writers, 0);
}

}  // namespace
