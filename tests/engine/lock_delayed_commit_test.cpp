// Delayed commit: a commit hands the transaction to the database's
// delayed-commit thread and returns; the thread commits it after the delay,
// unless the same thread takes it back by starting a new transaction, or a
// waiting lock request makes it commit at once.
#include <gtest/gtest.h>

#include "tests/engine/lock_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr dbDatabase::dbLockType shared = dbDatabase::dbSharedLock;
constexpr dbDatabase::dbLockType exclusive = dbDatabase::dbExclusiveLock;

class DelayedCommitTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("delayed");
  std::string file = dir.file("d.rvd");

  // Creates the database with the test object holding value 1.
  void createDatabase() {
    LockDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginTransaction(exclusive);
    ASSERT_EQ(createTestObject(db), testObject);
    writeTestObject(db, 1);
    db.commit();
    db.close();
  }
  // The committed value as another process reads it.
  std::string readInAnotherProcess() {
    ChildProcess child("lock_client", {});
    child.writeLine("open " + name + " " + file + " 1 - 0");
    EXPECT_EQ(child.readLine(), "open");
    child.writeLine("begin 0");
    EXPECT_EQ(child.readLine(), "granted");
    child.writeLine("read");
    std::string value = child.readLine();
    child.writeLine("close");
    EXPECT_EQ(child.readLine(), "closed");
    return value;
  }
};

TEST_F(DelayedCommitTest, CommitReturnsAtOnceAndIsDoneAfterTheDelay) {
  createDatabase();
  LockDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str(), dbWaitForever, 2));
  LockCounters before = db.counters();
  nat4 rootBefore = db.committedRoot();
  db.beginTransaction(exclusive);
  writeTestObject(db, 2);
  db.commit();

  LockCounters pending = db.counters();
  EXPECT_EQ(pending.transactionId, before.transactionId);
  EXPECT_EQ(db.committedRoot(), rootBefore);
  EXPECT_EQ(pending.writers, 1);  // the lock is kept for the delayed commit

  ASSERT_TRUE(eventually([&] { return db.counters().transactionId == before.transactionId + 1; }));
  EXPECT_NE(db.committedRoot(), rootBefore);
  EXPECT_EQ(db.counters().writers, 0);
  EXPECT_EQ(readInAnotherProcess(), "value 2");
  db.close();
}

TEST_F(DelayedCommitTest, NewTransactionOfTheSameThreadTakesThePendingCommitBack) {
  createDatabase();
  LockDatabase db;
  // A delay far beyond the test: only the waiting reader below ends it.
  ASSERT_TRUE(db.open(name.c_str(), file.c_str(), dbWaitForever, 600));
  int4 firstId = db.counters().transactionId;
  db.beginTransaction(exclusive);
  writeTestObject(db, 2);
  db.commit();
  ASSERT_TRUE(db.getThreadContext()->commitDelayed);

  db.beginTransaction(exclusive);
  EXPECT_FALSE(db.getThreadContext()->commitDelayed);
  EXPECT_EQ(db.counters().transactionId, firstId);
  EXPECT_EQ(readTestObject(db), 2);  // the transaction continues
  writeTestObject(db, 3);
  db.commit();

  // A thread that has to wait for the lock makes the pending commit happen now.
  {
    DbThread reader(db);
    int4 seen = 0;
    reader.call([&] {
      db.beginTransaction(shared);
      seen = readTestObject(db);
      db.commit();
    });
    EXPECT_EQ(seen, 3);
  }
  EXPECT_EQ(db.counters().transactionId, firstId + 1);  // both parts in one commit
  db.close();
  EXPECT_EQ(readInAnotherProcess(), "value 3");
}

// Ending the thread's transaction otherwise does not touch a pending commit:
// it is already what the thread decided, and the lock is kept for it.
TEST_F(DelayedCommitTest, RollbackOrPrecommitAfterTheCommitLeaveThePendingCommitAlone) {
  createDatabase();
  LockDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str(), dbWaitForever, 600));
  struct Case {
    const char* what;
    void (dbDatabase::*end)();
  };
  int4 value = 1;
  for (Case k : {Case{"rollback", &dbDatabase::rollback}, Case{"precommit", &dbDatabase::precommit}}) {
    SCOPED_TRACE(k.what);
    int4 id = db.counters().transactionId;
    db.beginTransaction(exclusive);
    writeTestObject(db, ++value);
    db.commit();
    (db.*k.end)();
    EXPECT_TRUE(db.getThreadContext()->commitDelayed);
    EXPECT_EQ(db.counters().writers, 1);
    int4 seen = 0;
    DbThread reader(db);
    reader.call([&] {
      db.beginTransaction(shared);
      seen = readTestObject(db);
      db.commit();
    });
    EXPECT_EQ(seen, value);
    EXPECT_EQ(db.counters().transactionId, id + 1);
    EXPECT_EQ(db.counters().writers, 0);
  }
  db.close();
}

// The writers' section of concurrent-update mode belongs to the thread that
// entered it, so there a commit is always done by the committing thread.
TEST_F(DelayedCommitTest, ConcurrentUpdateModeCommitsAtOnce) {
  createDatabase();
  LockDatabase db(dbDatabase::accessConcurrentUpdate);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str(), dbWaitForever, 600));
  int4 id = db.counters().transactionId;
  db.beginTransaction(exclusive);
  writeTestObject(db, 5);
  db.commit();
  EXPECT_EQ(db.counters().transactionId, id + 1);
  EXPECT_FALSE(db.getThreadContext()->commitDelayed);
  EXPECT_EQ(readInAnotherProcess(), "value 5");
  db.close();
}

// The delayed commit pending in one process is that process's alone: another
// process with delayed commit that closes meanwhile leaves it alone.
TEST_F(DelayedCommitTest, ClosingProcessLeavesAnotherProcessPendingCommitAlone) {
  createDatabase();
  LockDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str(), dbWaitForever, 600));
  ChildProcess other("lock_client", {});
  for (const char* line : {"open", "granted", "written", "done"}) {
    std::string command = std::string(line) == "open"      ? "open " + name + " " + file + " 1 - 600"
                          : std::string(line) == "granted" ? "begin 1"
                          : std::string(line) == "written" ? "write 4"
                                                           : "commit";
    other.writeLine(command);
    ASSERT_EQ(other.readLine(), line);
  }
  db.close();
  other.writeLine("close");
  EXPECT_EQ(other.readLine(), "closed");
  EXPECT_EQ(readInAnotherProcess(), "value 4");
}

}  // namespace
