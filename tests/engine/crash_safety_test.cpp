// Child processes run transactions on a database. One that dies in the
// middle (killed, or ended at a fault point of the commit or of the file
// growth) leaves exactly the state of the last commit that took effect; one
// that grows the file does so under another process's open handle.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>

#include "engine/integrity_check.h"
#include "tests/engine/crash_deaths.h"
#include "tests/engine/helpers/crash_workload.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kTransactionsPerChild = 12;
constexpr int kTransactionsUntilKilled = 5000;  // never reached before the kill

struct ChildRun {
  nat4 last = 0;  // the transaction number last printed
  bool done = false;
  int status = 0;
};

struct TestDatabase {
  std::string name;
  std::string file;
  crash::Model model;  // at the last transaction found committed
};

class CrashSafetyTest : public ::testing::Test {
 protected:
  MemoryDir dir;

  void create(TestDatabase& db) {
    ASSERT_FALSE(dir.path.empty());
    db.name = uniqueName("crash");
    db.file = dir.path + "/" + db.name + ".rvd";
    db.model = crash::Model();
    ASSERT_TRUE(crash::createFile(db.name.c_str(), db.file.c_str()));
  }

  // Runs one child to its death and returns what it reported.
  ChildRun runChild(const TestDatabase& db, Death death, int count) {
    std::vector<std::string> env;
    if (death != Death::killed) {
      env.push_back(std::string("TORVIK_FAULT_POINT=") + kFaultPoints[static_cast<int>(death)] + ":" + std::to_string(count));
    }
    int transactions = death == Death::killed ? kTransactionsUntilKilled : kTransactionsPerChild;
    ChildProcess child("crash_writer", {db.name, db.file, std::to_string(transactions)}, env);
    return watch(child, death == Death::killed ? count : 0);
  }

  // Reads the child's reports until it ends; with killAfter not 0, kills it
  // once that many commits were reported.
  static ChildRun watch(ChildProcess& child, int killAfter) {
    ChildRun run;
    int commits = 0;
    for (std::string line = child.readLine(); !line.empty(); line = child.readLine()) {
      if (line == "done") {
        run.done = true;
        continue;
      }
      size_t space = line.find(' ');
      run.last = static_cast<nat4>(std::stoul(line.substr(space + 1)));
      if (line.compare(0, space, "committed") == 0 && ++commits == killAfter) child.kill(SIGKILL);
    }
    run.status = child.wait();
    return run;
  }

  // Opens the database as the child left it and compares it with the model
  // at the transaction the directory names; returns that transaction. The
  // file must pass the integrity check as the child left it and once closed.
  nat4 reopenAndCheck(TestDatabase& test) {
    dbIntegrityReport left = dbCheckFile(test.file.c_str());
    EXPECT_TRUE(left.clean()) << "as left:\n" << left.summary();
    dbDatabase db;
    EXPECT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
    if (!db.isOpen()) return 0;
    db.beginTransaction(dbDatabase::dbSharedLock);
    nat4 t = reinterpret_cast<crash::Directory*>(db.getRow(crash::kDirectoryId))->transaction;
    EXPECT_GE(t, test.model.transaction);
    test.model.replayTo(t);
    EXPECT_EQ(crash::check(db, test.model), "") << "after transaction " << t;
    db.close();
    dbIntegrityReport report = dbCheckFile(test.file.c_str());
    EXPECT_TRUE(report.clean()) << "after transaction " << t << ":\n" << report.summary();
    return t;
  }
};

TEST_F(CrashSafetyTest, ReopeningShowsTheLastCommittedState) {
  // Commit deaths and kills age one file; each growth death gets a new
  // file, which grows in its first transactions.
  TestDatabase aged, young;
  create(aged);
  std::mt19937 rng(20261211);
  int growthDeaths = 0;
  for (int i = 0; i < 250 && !HasFailure(); i++) {
    Death death = static_cast<Death>(i % 5);
    if (death == Death::duringGrowth) create(young);
    TestDatabase& db = death == Death::duringGrowth ? young : aged;
    int count = 1 + rng() % 4;
    SCOPED_TRACE("run " + std::to_string(i) + ", count " + std::to_string(count));
    ChildRun run = runChild(db, death, count);
    bool faulted = WIFEXITED(run.status) && WEXITSTATUS(run.status) == kFaultExitStatus;
    nat4 t = reopenAndCheck(db);
    switch (death) {
      case Death::beforeRootSwitch:
        ASSERT_TRUE(faulted);
        EXPECT_EQ(t, run.last);
        break;
      case Death::afterRootSwitch:
      case Death::afterSecondFlush:
        // The switched root is the commit; only its return was not seen.
        ASSERT_TRUE(faulted);
        EXPECT_EQ(t, run.last + 1);
        break;
      case Death::duringGrowth:
        // Not every child grows the file count times.
        ASSERT_TRUE(faulted || run.done);
        growthDeaths += faulted;
        EXPECT_EQ(t, run.last);
        break;
      case Death::killed:
        // The kill may land after a commit returned but before it was reported.
        ASSERT_TRUE(WIFSIGNALED(run.status));
        EXPECT_TRUE(t == run.last || t == run.last + 1) << t << " after " << run.last;
        break;
    }
  }
  EXPECT_GE(growthDeaths, 20);  // of 50
}

// Commits that make the object index outgrow its arrays, and the commits
// right after them (which give the other root arrays of the new size), are
// ended at each commit point; the reopened file holds exactly the records of
// the transactions committed.
TEST_F(CrashSafetyTest, DeathsWhileTheObjectIndexGrows) {
  ASSERT_FALSE(dir.path.empty());
  constexpr int kRecords = 3000, kTransactions = 24;
  std::set<nat4> sizes;  // the index sizes seen at reopen
  for (int point = 0; point < 3; point++) {
    // With 3000 records a transaction the arrays of 9216, 18432, 36864 and
    // 73728 entries are outgrown in transactions 1, 4, 10 and 22; the fault
    // point's count is the transaction's number.
    for (int count : {1, 2, 4, 5, 10, 11, 22, 23}) {
      SCOPED_TRACE(std::string(kFaultPoints[point]) + ":" + std::to_string(count));
      std::string name = uniqueName("grow"), file = dir.path + "/" + name + ".rvd";
      ChildProcess child("index_grower", {name, file, std::to_string(kTransactions), std::to_string(kRecords)},
                         {std::string("TORVIK_FAULT_POINT=") + kFaultPoints[point] + ":" + std::to_string(count)});
      ChildRun run = watch(child, 0);
      ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == kFaultExitStatus) << run.status;
      dbIntegrityReport left = dbCheckFile(file.c_str());
      EXPECT_TRUE(left.clean()) << "as left:\n" << left.summary();

      dbDatabase db;
      ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
      db.beginTransaction(dbDatabase::dbSharedLock);
      sizes.insert(db.getHeader()->root[db.getHeader()->currentRoot].indexSize);
      std::map<nat4, int> perTransaction;
      for (oid_t oid = dbFirstUserId; oid < db.getCurrentIndexSize(); oid++) {
        nat4 entry = db.getCurrentIndex()[oid];
        if (dbIsFreeEntry(entry) || (entry & dbFlagsMask) != dbRecordMarker || entry == 0) continue;
        nat4 t;
        memcpy(&t, db.getRow(oid) + sizeof(dbRecord), sizeof t);
        perTransaction[t] += 1;
      }
      db.commit();
      db.close();
      nat4 committed = point == 0 ? run.last : run.last + 1;  // after the root switch it took effect
      ASSERT_EQ(perTransaction.size(), committed);
      for (auto [t, n] : perTransaction) {
        EXPECT_TRUE(t >= 1 && t <= committed) << t;
        EXPECT_EQ(n, kRecords) << "transaction " << t;
      }
      EXPECT_TRUE(dbCheckFile(file.c_str()).clean());
      std::remove(file.c_str());
      std::remove(("/dev/shm/" + name + ".in").c_str());  // the lock file outlives its processes
    }
  }
  EXPECT_EQ(sizes, (std::set<nat4>{9216, 18432, 36864, 73728, 147456}));  // the deaths met every size
}

// While this process keeps the database open, another one grows the file;
// the next transaction here maps the grown file and reads what it wrote.
TEST_F(CrashSafetyTest, AnotherProcessGrowsTheFileUnderAnOpenHandle) {
  TestDatabase test;
  create(test);
  dbDatabase db;
  ASSERT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
  db.beginTransaction(dbDatabase::dbSharedLock);
  nat4 sizeBefore = db.getHeader()->fileSize;
  db.commit();

  ChildProcess child("crash_writer", {test.name, test.file, std::to_string(kTransactionsPerChild)});
  ChildRun run = watch(child, 0);
  ASSERT_TRUE(run.done);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);

  db.beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_GT(db.getHeader()->fileSize, sizeBefore);
  test.model.replayTo(run.last);
  EXPECT_EQ(crash::check(db, test.model), "");
  db.commit();
  db.close();
}

}  // namespace
