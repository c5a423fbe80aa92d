// Shared by the lock tests and their helper programs: a database that lets a
// test read the lock counters consistently, a thread that runs the steps it
// is handed one after another, and the one test object.
#pragma once

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "engine/database.h"

// The lock counters of the shared monitor at one instant.
struct LockCounters {
  int4 readers, writers, waitingReaders, waitingWriters, upgradeWaiting;
  int4 transactionId;
  nat4 lastDeadlockRecovery;
};

class LockDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::enterGlobal;
  using dbDatabase::leaveGlobal;

  LockCounters counters() {
    enterGlobal();
    LockCounters c{monitor->readers,        monitor->writers,        monitor->waitingReaders,
                   monitor->waitingWriters, monitor->upgradeWaiting, monitor->transactionId,
                   monitor->lastDeadlockRecovery};
    leaveGlobal();
    return c;
  }
  nat4 committedRoot() {
    enterGlobal();
    nat4 root = header->currentRoot;
    leaveGlobal();
    return root;
  }
};

// The object every lock test reads and writes: the first one allocated in a
// new database, a 12-byte hash item whose first word holds the value.
constexpr oid_t testObject = dbFirstUserId;

inline oid_t createTestObject(dbDatabase& db) { return db.allocateObject(dbHashTableItemMarker); }

inline int4 readTestObject(dbDatabase& db) {
  int4 v;
  memcpy(&v, db.get(testObject), sizeof v);
  return v;
}

inline void writeTestObject(dbDatabase& db, int4 v) { memcpy(db.put(testObject), &v, sizeof v); }

// Polls cond with yields until it holds; false only when it never did within
// a bound far beyond any run, so that a broken build fails instead of hanging.
template <class Cond>
bool eventually(Cond cond) {
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    sched_yield();
  }
  return true;
}

// A thread attached to a database that runs the steps handed to it in order.
// run returns a future of the step, carrying what the step threw.
class DbThread {
 public:
  explicit DbThread(dbDatabase& database) : db(database), thread([this] { body(); }) {}
  ~DbThread() {
    run([this] { stopping = true; }).wait();
    thread.join();
  }
  DbThread(const DbThread&) = delete;
  DbThread& operator=(const DbThread&) = delete;

  std::future<void> run(std::function<void()> step) {
    std::packaged_task<void()> task(std::move(step));
    std::future<void> result = task.get_future();
    {
      std::lock_guard<std::mutex> lock(mutex);
      steps.push_back(std::move(task));
    }
    wakeup.notify_one();
    return result;
  }
  // Runs a step and waits for it, rethrowing what it threw.
  void call(std::function<void()> step) { run(std::move(step)).get(); }

 private:
  void body() {
    db.attach();
    while (!stopping) {
      std::packaged_task<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wakeup.wait(lock, [this] { return !steps.empty(); });
        task = std::move(steps.front());
        steps.pop_front();
      }
      task();
    }
    db.detach();
  }

  dbDatabase& db;
  std::mutex mutex;
  std::condition_variable wakeup;
  std::deque<std::packaged_task<void()>> steps;
  bool stopping = false;
  std::thread thread;
};

// True when the step has finished (returned or thrown).
inline bool finished(const std::future<void>& f) {
  return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
