// The database lock among processes: writers and readers of another process
// wait for a writer, the concurrent access modes, time-out recovery from a
// stopped holder, and holders that were killed.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/engine/lock_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Lock = dbDatabase::dbLockType;
constexpr Lock shared = dbDatabase::dbSharedLock;
constexpr Lock exclusive = dbDatabase::dbExclusiveLock;

// A lock_client helper process.
class Client {
 public:
  Client() : child("lock_client", {}) {}
  std::string ask(const std::string& command) {
    send(command);
    return answer();
  }
  void send(const std::string& command) { child.writeLine(command); }
  std::string answer() { return child.readLine(); }
  ChildProcess child;
};

class LockProcessesTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("lockproc");
  std::string file = dir.file("p.rvd");

  std::string openCommand(int mode, const std::string& timeout = "-", int delay = 0) {
    return "open " + name + " " + file + " " + std::to_string(mode) + " " + timeout + " " + std::to_string(delay);
  }
  // Opens db and stores the test object with the given value.
  void openWithObject(LockDatabase& db, int4 value, nat4 timeout = dbWaitForever) {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str(), timeout));
    db.beginTransaction(exclusive);
    ASSERT_EQ(createTestObject(db), testObject);
    writeTestObject(db, value);
    db.commit();
  }
  template <class Cond>
  void waitFor(LockDatabase& db, Cond cond) {
    ASSERT_TRUE(eventually([&] { return cond(db.counters()); }));
  }
  int4 readCommitted(LockDatabase& db) {
    db.beginTransaction(shared);
    int4 v = readTestObject(db);
    db.commit();
    return v;
  }
};

TEST_F(LockProcessesTest, WriterBlocksWriterAndReaderOfAnotherProcessUntilItCommits) {
  LockDatabase db;
  openWithObject(db, 1);
  Client writer, reader;
  ASSERT_EQ(writer.ask(openCommand(dbDatabase::accessReadWrite)), "open");
  ASSERT_EQ(reader.ask(openCommand(dbDatabase::accessReadWrite)), "open");

  db.beginTransaction(exclusive);
  writeTestObject(db, 2);
  writer.send("begin 1");
  waitFor(db, [](LockCounters n) { return n.waitingWriters == 1; });
  reader.send("begin 0");
  waitFor(db, [](LockCounters n) { return n.waitingReaders == 1; });

  db.commit();
  // The commit grants the waiting reader; the writer waits until it ends.
  EXPECT_EQ(reader.answer(), "granted");
  EXPECT_EQ(reader.ask("read"), "value 2");
  EXPECT_EQ(db.counters().waitingWriters, 1);
  EXPECT_EQ(reader.ask("commit"), "done");
  EXPECT_EQ(writer.answer(), "granted");
  EXPECT_EQ(writer.ask("read"), "value 2");
  EXPECT_EQ(writer.ask("write 3"), "written");
  EXPECT_EQ(writer.ask("commit"), "done");
  EXPECT_EQ(readCommitted(db), 3);
  EXPECT_EQ(writer.ask("close"), "closed");
  EXPECT_EQ(reader.ask("close"), "closed");
  db.close();
}

TEST_F(LockProcessesTest, ConcurrentReaderSeesTheCommittedStateWhileAConcurrentUpdateWriterWorks) {
  LockDatabase db(dbDatabase::accessConcurrentUpdate);
  openWithObject(db, 1);
  Client reader, otherWriter;
  ASSERT_EQ(reader.ask(openCommand(dbDatabase::accessConcurrentRead)), "open");
  ASSERT_EQ(otherWriter.ask(openCommand(dbDatabase::accessConcurrentUpdate)), "open");

  db.beginTransaction(exclusive);
  writeTestObject(db, 2);
  EXPECT_EQ(db.counters().writers, 0);  // a concurrent-update writer holds the writers' section only
  int4 idBefore = db.counters().transactionId;
  otherWriter.send("begin 1");
  otherWriter.send("transaction");  // answered as soon as it is granted
  EXPECT_EQ(reader.ask("begin 0"), "granted");
  EXPECT_EQ(reader.ask("read"), "value 1");
  EXPECT_EQ(reader.ask("commit"), "done");

  nat4 rootBefore = db.committedRoot();
  db.commit();
  EXPECT_NE(db.committedRoot(), rootBefore);
  EXPECT_EQ(reader.ask("begin 0"), "granted");
  EXPECT_EQ(reader.ask("read"), "value 2");
  // The other writer got the writers' section only after the commit.
  EXPECT_EQ(otherWriter.answer(), "granted");
  EXPECT_EQ(otherWriter.answer(), "transaction " + std::to_string(idBefore + 1));
  EXPECT_EQ(otherWriter.ask("read"), "value 2");
  EXPECT_EQ(otherWriter.ask("write 3"), "written");
  EXPECT_EQ(reader.ask("read"), "value 2");
  EXPECT_EQ(reader.ask("commit"), "done");
  EXPECT_EQ(otherWriter.ask("commit"), "done");
  EXPECT_EQ(reader.ask("begin 0"), "granted");
  EXPECT_EQ(reader.ask("read"), "value 3");
  EXPECT_EQ(reader.ask("commit"), "done");
  EXPECT_EQ(reader.ask("close"), "closed");
  EXPECT_EQ(otherWriter.ask("close"), "closed");
  db.close();
}

// A writer that stops while it holds the lock is given up for dead by a
// waiter whose wait times out: its changes are discarded and, continued, it
// learns at its next commit or lock request that its lock was revoked.
TEST_F(LockProcessesTest, StoppedWriterIsGivenUpForDeadAndItsLockRevoked) {
  LockDatabase db;
  openWithObject(db, 1, 200);
  int4 value = 1;
  for (const char* next : {"commit", "begin 1"}) {
    SCOPED_TRACE(next);
    Client stopped;
    ASSERT_EQ(stopped.ask(openCommand(dbDatabase::accessReadWrite, "200")), "open");
    ASSERT_EQ(stopped.ask("begin 1"), "granted");
    ASSERT_EQ(stopped.ask("write 100"), "written");
    stopped.child.kill(SIGSTOP);

    db.beginTransaction(exclusive);
    EXPECT_EQ(readTestObject(db), value);
    writeTestObject(db, ++value);
    db.commit();

    stopped.child.kill(SIGCONT);
    EXPECT_EQ(stopped.ask(next), "error 9");
    EXPECT_EQ(stopped.ask("close"), "closed");
    EXPECT_EQ(readCommitted(db), value);
    LockCounters n = db.counters();
    EXPECT_EQ(n.writers, 0);
    EXPECT_EQ(n.readers, 0);
    EXPECT_EQ(n.waitingWriters, 0);
  }
  db.close();
}

TEST_F(LockProcessesTest, StoppedReaderIsNoLongerCountedAfterATimeout) {
  LockDatabase db;
  openWithObject(db, 1, 200);
  Client stopped;
  ASSERT_EQ(stopped.ask(openCommand(dbDatabase::accessReadWrite, "200")), "open");
  ASSERT_EQ(stopped.ask("begin 0"), "granted");
  stopped.child.kill(SIGSTOP);

  db.beginTransaction(exclusive);
  EXPECT_EQ(db.counters().readers, 0);
  writeTestObject(db, 3);
  db.commit();
  EXPECT_EQ(readCommitted(db), 3);
  LockCounters n = db.counters();
  EXPECT_EQ(n.readers, 0);
  EXPECT_EQ(n.waitingWriters, 0);
  db.close();
}

// Only a process that may write the file can discard a dead writer's changes:
// a read-only reader whose wait times out keeps waiting for the writer.
TEST_F(LockProcessesTest, ReadOnlyReaderDoesNotGiveAWriterUpForDead) {
  LockDatabase db;
  openWithObject(db, 1, 100);
  LockDatabase readOnly(dbDatabase::accessReadOnly);
  ASSERT_TRUE(readOnly.open(name.c_str(), file.c_str(), 100));
  Client writer;
  ASSERT_EQ(writer.ask(openCommand(dbDatabase::accessReadWrite)), "open");
  ASSERT_EQ(writer.ask("begin 1"), "granted");
  ASSERT_EQ(writer.ask("write 2"), "written");
  writer.child.kill(SIGSTOP);
  int4 seen = 0;
  std::future<void> read;
  {
    DbThread reader(readOnly);
    read = reader.run([&] {
      readOnly.beginTransaction(shared);
      seen = readTestObject(readOnly);
      readOnly.commit();
    });
    waitFor(db, [](LockCounters n) { return n.waitingReaders == 1; });
    // The reader's wait times out and it considers the writer, twice.
    for (int i = 0; i < 2; i++) {
      nat4 attempt = db.counters().lastDeadlockRecovery;
      waitFor(db, [&](LockCounters n) { return n.lastDeadlockRecovery != attempt; });
    }
    EXPECT_FALSE(finished(read));
    EXPECT_EQ(db.counters().writers, 1);

    writer.child.kill(SIGCONT);
    EXPECT_EQ(writer.ask("commit"), "done");
    read.get();
  }
  EXPECT_EQ(seen, 2);
  readOnly.close();
  EXPECT_EQ(writer.ask("close"), "closed");
  db.close();
}

// A process killed inside the global critical section or holding the
// exclusive lock does not keep the next opener out when nobody else is alive.
TEST_F(LockProcessesTest, HolderKilledWhileAloneDoesNotBlockTheNextOpener) {
  struct Case {
    const char* what;
    std::vector<std::string> commands;  // the last one is answered before the kill
  };
  const Case cases[] = {
      {"global critical section", {"hold-global"}},
      {"exclusive lock with a change", {"begin 1", "write 7"}},
  };
  {
    LockDatabase db;
    openWithObject(db, 1);
    db.close();
  }
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    {
      Client victim;
      ASSERT_EQ(victim.ask(openCommand(dbDatabase::accessReadWrite)), "open");
      for (const std::string& c : k.commands) ASSERT_NE(victim.ask(c).rfind("error", 0), 0u);
      victim.child.kill(SIGKILL);
      victim.child.wait();
    }
    LockDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    EXPECT_EQ(db.getUserCount(), 1);
    db.beginTransaction(exclusive);
    EXPECT_EQ(readTestObject(db), 1);  // the killed writer's change is gone
    db.commit();
    db.close();
  }
}

// While another process stays alive, the section a killed process held is
// taken over by the next process that enters it.
TEST_F(LockProcessesTest, SectionOfAKilledProcessIsTakenOverWhileOthersLive) {
  LockDatabase db;
  openWithObject(db, 1);
  Client victim;
  ASSERT_EQ(victim.ask(openCommand(dbDatabase::accessReadWrite)), "open");
  ASSERT_EQ(victim.ask("hold-global"), "holding");
  victim.child.kill(SIGKILL);
  victim.child.wait();
  db.beginTransaction(exclusive);
  writeTestObject(db, 4);
  db.commit();
  EXPECT_EQ(readCommitted(db), 4);
  db.close();
}

// In concurrent-update mode a writer holds the writers' section for its whole
// transaction; when it is killed, the next writer takes the section over and
// does not inherit the dead writer's uncommitted changes.
TEST_F(LockProcessesTest, WritersSectionOfAKilledConcurrentWriterIsTakenOverWithoutItsChanges) {
  LockDatabase db(dbDatabase::accessConcurrentUpdate);
  openWithObject(db, 1);
  Client victim;
  ASSERT_EQ(victim.ask(openCommand(dbDatabase::accessConcurrentUpdate)), "open");
  ASSERT_EQ(victim.ask("begin 1"), "granted");
  ASSERT_EQ(victim.ask("write 5"), "written");
  victim.child.kill(SIGKILL);
  victim.child.wait();

  db.beginTransaction(exclusive);
  EXPECT_EQ(readTestObject(db), 1);
  writeTestObject(db, 6);
  db.commit();
  EXPECT_EQ(readCommitted(db), 6);
  db.close();
}

}  // namespace
