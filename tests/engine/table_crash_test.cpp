// Child processes run seeded random transactions on a table with hash and
// T-tree indices, through cursors: inserts, updates that change keys and
// sizes, removes, and work rolled back. They die in the middle: killed at a
// random moment, or ended at a fault point of the commit or of the file
// growth. Between the children the declaration of the table changes (a field
// added, removed or converted, indices added and dropped), so deaths also hit
// the conversion at open. After every death the file passes the integrity
// check and holds, through its rows and through its indices, exactly the
// state of the last commit that took effect. A transaction that cannot grow
// the file fails, and its rollback leaves the last commit usable.
//
// The default run is short. TORVIK_CRASH_ROUNDS=<n> sets the number of
// children, TORVIK_CRASH_SEED=<n> the seed of the workload, for example
//   TORVIK_CRASH_ROUNDS=3000 build/tests/engine/engine_table_crash_test
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/integrity_check.h"
#include "engine/query/index_search.h"
#include "tests/engine/crash_deaths.h"
#include "tests/engine/helpers/table_workload.h"
#include "tests/support/child_process.h"
#include "tests/support/error_capture.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kTransactionsPerChild = 8;
constexpr nat4 kDiskFullSeed = 5;  // the workload before the disk is full
constexpr int kTransactionsToGrow = 40;  // a new file grows a few times in these
constexpr int kTransactionsUntilKilled = 1000000;  // never reached before the kill
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultRounds = 100;
#else
constexpr int kDefaultRounds = 300;
#endif

int envNumber(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? atoi(value) : fallback;
}

struct ChildRun {
  bool started = false;  // the open, with its conversion, is done
  nat4 start = 0;
  nat4 last = 0;  // the transaction last reported committed
  bool done = false;
  int status = 0;
};

struct TestDatabase {
  std::string name;
  std::string file;
  ledger::Model model;  // at the last transaction found committed
  int variant = 0;      // the declaration the stored table follows
};

// Where two row sets first differ, or "".
std::string difference(const std::map<int4, ledger::Row>& found, const std::map<int4, ledger::Row>& expected) {
  if (found.size() != expected.size()) {
    return std::to_string(found.size()) + " rows, expected " + std::to_string(expected.size());
  }
  for (auto f = found.begin(), e = expected.begin(); f != found.end(); ++f, ++e) {
    const ledger::Row &a = f->second, &b = e->second;
    if (a == b) continue;
    std::string where = "row " + std::to_string(b.id) + ": ";
    if (a.id != b.id) return where + "missing, found row " + std::to_string(a.id);
    if (a.code != b.code) return where + "code " + a.code + ", expected " + b.code;
    if (a.rank != b.rank) return where + "rank " + std::to_string(a.rank) + ", expected " + std::to_string(b.rank);
    if (a.amount != b.amount) return where + "amount " + std::to_string(a.amount);
    if (a.note != b.note) return where + "note of " + std::to_string(a.note.size()) + " bytes";
    return where + "memo " + a.memo + ", expected " + b.memo;
  }
  return "";
}

// Compares the table, in a transaction of its database, with the model:
// every row, and what the code and rank conditions select, which an index
// answers where the field has one.
void expectModel(ledger::Table& table, const ledger::Model& model) {
  EXPECT_EQ(difference(table.rows(), model.rows), "");
  dbSelectStatistics& stats = dbSelectStatistics::ofThisThread();
  stats.clear();
  for (const auto& [id, row] : model.rows) {
    EXPECT_EQ(table.withCode(row.code), std::vector<int4>{id}) << row.code;
    EXPECT_EQ(table.withCode(row.code + "x"), std::vector<int4>{}) << row.code;
  }
  dbFieldDescriptor* code = ledger::fieldOf(table.descriptor(), "code");
  if (code->hashIndex || code->treeIndex) {
    EXPECT_EQ(stats.sequentialScans, 0u);
  }
  stats.clear();
  static const int4 ranges[][2] = {{0, ledger::kRanks - 1}, {5, 5}, {10, 17}, {-3, 2}, {38, 45}, {20, 19}};
  for (const auto& r : ranges) {
    std::vector<int4> expected;
    for (const auto& [id, row] : model.rows) {
      if (row.rank >= r[0] && row.rank <= r[1]) expected.push_back(id);
    }
    EXPECT_EQ(table.withRanks(r[0], r[1]), expected) << r[0] << ".." << r[1];
  }
  if (ledger::fieldOf(table.descriptor(), "rank")->treeIndex) {
    EXPECT_EQ(stats.sequentialScans, 0u);
  }
}

class TableCrashTest : public ::testing::Test {
 protected:
  MemoryDir dir;
  nat4 seed = static_cast<nat4>(envNumber("TORVIK_CRASH_SEED", 20261211));
  std::vector<std::string> names;  // of the databases made

  // The lock files of the databases outlive their processes.
  void TearDown() override {
    for (const std::string& n : names) std::remove(("/dev/shm/" + n + ".in").c_str());
  }

  // A new file with "Ledger" in the variant given, at transaction 0. It
  // starts as small as a file can, so that the workload soon grows it.
  void create(TestDatabase& test, int variant, nat4 workloadSeed) {
    ASSERT_FALSE(dir.path.empty());
    if (!test.file.empty()) std::remove(test.file.c_str());  // the file it replaces
    test.name = uniqueName("ledger");
    names.push_back(test.name);
    test.file = dir.path + "/" + test.name + ".rvd";
    test.model = ledger::Model();
    test.model.seed = workloadSeed;
    test.variant = variant;
    ledger::State state;
    std::unique_ptr<ledger::Table> table = ledger::declare(variant);
    test.model.setMemo(table->hasMemo());
    dbDatabase db(dbDatabase::accessReadWrite, dbBytesPerBitmapPage, dbDatabase::dbDefaultExtensionQuantum,
                  dbFirstUserId);
    ASSERT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
    state.setTransaction(db, 0);
    db.commit();
    db.close();
  }

  // Runs one child with the variant to its death and returns what it reported.
  ChildRun runChild(const TestDatabase& test, int variant, Death death, int count) {
    std::vector<std::string> env;
    if (death != Death::killed) {
      env.push_back(std::string("TORVIK_FAULT_POINT=") + kFaultPoints[static_cast<int>(death)] + ":" +
                    std::to_string(count));
    }
    int transactions = death == Death::killed        ? kTransactionsUntilKilled
                       : death == Death::duringGrowth ? kTransactionsToGrow
                                                      : kTransactionsPerChild;
    ChildProcess child("table_writer", {test.name, test.file, std::to_string(variant),
                                        std::to_string(test.model.seed), std::to_string(transactions)},
                       env);
    ChildRun run;
    run.last = test.model.transaction;
    int reports = 0;
    for (std::string line = child.readLine(); !line.empty(); line = child.readLine()) {
      size_t space = line.find(' ');
      std::string what = line.substr(0, space);
      nat4 t = static_cast<nat4>(std::stoul(line.substr(space + 1)));
      if (what == "start") {
        run.started = true;
        run.start = t;
      } else if (what == "committed") {
        run.last = t;
      } else if (what == "done") {
        run.done = true;
      }
      if (death == Death::killed && ++reports == count) child.kill(SIGKILL);
    }
    run.status = child.wait();
    return run;
  }

  // The stored layout of "Ledger" and the last transaction, as the file
  // shows them once reopened. The file must pass the integrity check as the
  // dead child left it.
  std::pair<ledger::Layout, nat4> inspect(const TestDatabase& test) {
    dbIntegrityReport left = dbCheckFile(test.file.c_str());
    EXPECT_TRUE(left.clean()) << "as left:\n" << left.summary();
    ledger::State state;  // "Ledger" is not declared: the open leaves it as stored
    dbDatabase db;
    EXPECT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
    if (!db.isOpen()) return {};
    std::pair<ledger::Layout, nat4> found{ledger::storedLayout(db, "Ledger"), state.transaction()};
    db.commit();
    db.close();
    return found;
  }

  // Opens the database under its variant and compares it with the model;
  // the file must pass the integrity check once closed.
  void verify(const TestDatabase& test) {
    ledger::State state;
    std::unique_ptr<ledger::Table> table = ledger::declare(test.variant);
    nat4 declared[2];
    for (int i = 0; i < 2; i++) declared[i] = ledger::fieldOf(table->descriptor(), i ? "rank" : "code")->indexFlags;
    dbDatabase db;
    db.allowColumnRemoval = true;
    ASSERT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
    for (int i = 0; i < 2; i++) {
      dbFieldDescriptor* fd = ledger::fieldOf(table->descriptor(), i ? "rank" : "code");
      if (declared[i] & HASHED) {
        EXPECT_NE(fd->hashIndex, 0u) << fd->path;
      }
      if (declared[i] & INDEXED) {
        EXPECT_NE(fd->treeIndex, 0u) << fd->path;
      }
    }
    EXPECT_EQ(state.transaction(), test.model.transaction);
    expectModel(*table, test.model);
    db.commit();
    db.close();
    dbIntegrityReport report = dbCheckFile(test.file.c_str());
    EXPECT_TRUE(report.clean()) << "after transaction " << test.model.transaction << ":\n" << report.summary();
  }
};

TEST_F(TableCrashTest, ReopeningShowsTheLastCommittedState) {
  // Commit deaths and kills age one file; each growth death gets a new
  // file, which grows in its first transactions.
  TestDatabase aged, young;
  create(aged, 0, seed);
  std::mt19937 rng(seed);
  const int rounds = envNumber("TORVIK_CRASH_ROUNDS", kDefaultRounds);
  int planned[kDeaths] = {};
  int ended[kDeaths] = {};  // children that died the death planned
  int conversions = 0;      // children whose changed declaration took effect
  int killedInOpen = 0;
  for (int i = 0; i < rounds && !HasFailure(); i++) {
    Death death = static_cast<Death>(i % kDeaths);
    planned[i % kDeaths]++;
    if (death == Death::duringGrowth) create(young, rng() % ledger::kVariants, seed + i);
    TestDatabase& test = death == Death::duringGrowth ? young : aged;
    int variant = rng() % 2 ? test.variant : static_cast<int>(rng() % ledger::kVariants);
    // A kill at the first report lands in the open, and in its conversion
    // when the declaration changed.
    int count = death != Death::killed ? 1 + rng() % 4 : rng() % 4 == 0 ? 1 : 1 + rng() % 60;
    SCOPED_TRACE("run " + std::to_string(i) + ", variant " + std::to_string(test.variant) + " to " +
                 std::to_string(variant) + ", count " + std::to_string(count));
    ChildRun run = runChild(test, variant, death, count);
    ASSERT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 3) << "the child found other rows";
    if (run.started) {
      EXPECT_EQ(run.start, test.model.transaction);
    }
    bool faulted = WIFEXITED(run.status) && WEXITSTATUS(run.status) == kFaultExitStatus;

    auto [stored, t] = inspect(test);
    ledger::Layout before = ledger::layoutOf(test.variant), after = ledger::layoutOf(variant);
    // A fault before the start report hit the commit of the conversion at open.
    bool switched = death == Death::afterRootSwitch || death == Death::afterSecondFlush;
    if (!run.started && death != Death::killed) {
      EXPECT_EQ(stored, switched ? after : before);
    }
    switch (death) {
      case Death::beforeRootSwitch:
        ASSERT_TRUE(faulted);
        EXPECT_EQ(t, run.last);
        break;
      case Death::afterRootSwitch:
      case Death::afterSecondFlush:
        // The switched root is the commit; only its return was not seen.
        ASSERT_TRUE(faulted);
        EXPECT_EQ(t, run.started ? run.last + 1 : run.last);
        break;
      case Death::duringGrowth:
        // Not every child grows the file count times.
        ASSERT_TRUE(faulted || run.done);
        EXPECT_EQ(t, run.last);
        break;
      case Death::killed:
        // The kill may land after a commit returned but before it was reported.
        ASSERT_TRUE(WIFSIGNALED(run.status));
        EXPECT_TRUE(t == run.last || (run.started && t == run.last + 1)) << t << " after " << run.last;
        break;
    }
    ended[static_cast<int>(death)] += death == Death::killed ? WIFSIGNALED(run.status) : faulted;
    killedInOpen += death == Death::killed && !run.started;

    if (stored == after) {
      conversions += before != after;
      test.variant = variant;
      test.model.setMemo(ledger::declare(variant)->hasMemo());
    } else {
      ASSERT_EQ(stored, before) << "the stored table follows neither declaration";
      ASSERT_EQ(t, test.model.transaction) << "committed without the conversion";
    }
    ASSERT_GE(t, test.model.transaction);
    test.model.replayTo(t);
    verify(test);
  }
  for (int d = 0; d < kDeaths; d++) {
    if (static_cast<Death>(d) != Death::duringGrowth) {
      EXPECT_EQ(ended[d], planned[d]) << "death " << d;
    }
  }
  EXPECT_GE(ended[static_cast<int>(Death::duringGrowth)], planned[static_cast<int>(Death::duringGrowth)] / 3);
  EXPECT_GE(conversions, rounds / 5);
  printf("%d kills (%d before the open ended), %d deaths at fault points, %d conversions\n",
         ended[static_cast<int>(Death::killed)], killedInOpen, ended[0] + ended[1] + ended[2] + ended[3], conversions);
}

// A transaction that needs the file to grow while the disk is full fails
// with "Failed to extend file"; once rolled back, the database holds its
// last commit, and smaller transactions commit and survive a reopen.
TEST_F(TableCrashTest, TransactionThatCannotGrowTheFileRollsBack) {
  enum Kind { inserts, updates };
  for (Kind kind : {inserts, updates}) {
    SCOPED_TRACE(kind == inserts ? "inserts" : "updates");
    TestDatabase test;
    create(test, 1, kDiskFullSeed);
    test.model.bigNotes = false;  // what commits must fit in the file
    {
      ledger::State state;
      std::unique_ptr<ledger::Table> table = ledger::declare(test.variant);
      RecordingDatabase db;
      ASSERT_TRUE(db.open(test.name.c_str(), test.file.c_str()));
      for (int i = 0; i < 40; i++) ASSERT_TRUE(ledger::commitNext(db, *table, state, test.model, [](size_t) {}));
      const nat4 fileSize = db.getHeader()->fileSize;
      std::vector<int4> ids;
      for (const auto& [id, row] : test.model.rows) ids.push_back(id);
      ASSERT_GE(ids.size(), 20u);

      FileLimit limit(fileSize);
      ASSERT_TRUE(limit.set);
      // Rows of 40000 bytes, many times what the file has free.
      const std::string big = ledger::text(40000, 1);
      int done = 0;
      try {
        for (; done < 1000; done++) {
          if (kind == inserts) {
            ledger::Op op(ledger::Op::insert, 1000000 + done, "full" + std::to_string(done));
            op.rank = done % ledger::kRanks;
            op.note = big;
            op.amount = done;
            op.memo = "";
            table->insert(db, op);
          } else {
            // A key changes as well: the row has left its T-tree when the growth fails.
            const ledger::Row& row = test.model.rows.at(ids[done % ids.size()]);
            ledger::Op op(ledger::Op::update, row.id, row.code);
            op.rank = (row.rank + 1) % ledger::kRanks;
            op.note = big + std::to_string(done);
            ASSERT_TRUE(table->change(op));
          }
        }
        ADD_FAILURE() << "the file had room for every row";
      } catch (const dbException& e) {
        EXPECT_EQ(e.getErrCode(), FileError);
        EXPECT_EQ(std::string(e.getMsg()).rfind("Failed to extend file: ", 0), 0u) << e.getMsg();
      }
      EXPECT_GT(done, 0);
      EXPECT_EQ(db.lastMessage(), "Failed to extend file");
      db.rollback();
      EXPECT_EQ(db.getHeader()->fileSize, fileSize);
      EXPECT_EQ(state.transaction(), test.model.transaction);
      expectModel(*table, test.model);
      db.commit();

      for (int i = 0; i < 10; i++) ASSERT_TRUE(ledger::commitNext(db, *table, state, test.model, [](size_t) {}));
      EXPECT_EQ(db.getHeader()->fileSize, fileSize);
      db.close();
    }
    verify(test);
  }
}

}  // namespace
