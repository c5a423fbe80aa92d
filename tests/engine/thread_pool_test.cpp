// The pool of scan threads: work items run one at a time, join waits for its
// own item, finished threads are reused, and destroying the pool ends them.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

#include "engine/thread_pool.h"

namespace {

// Counts the pooled threads that ended: each item arms it in its thread.
std::atomic<int> threadsEnded{0};
struct EndWatch {
  ~EndWatch() { threadsEnded += 1; }
};
thread_local EndWatch endWatch;

struct Item {
  std::atomic<int>* active = nullptr;
  std::atomic<bool>* overlapped = nullptr;
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  pthread_t thread{};
  // A gate the item waits at, when given.
  std::mutex* gateMutex = nullptr;
  std::condition_variable* gateOpened = nullptr;
  bool* gateOpen = nullptr;

  static void run(void* arg) {
    Item* self = static_cast<Item*>(arg);
    (void)&endWatch;
    self->thread = pthread_self();
    self->started = true;
    if (self->active && self->active->fetch_add(1) != 0) *self->overlapped = true;
    if (self->gateMutex) {
      std::unique_lock<std::mutex> lock(*self->gateMutex);
      self->gateOpened->wait(lock, [self] { return *self->gateOpen; });
    }
    for (int i = 0; i < 100; i++) sched_yield();  // room for another item to run alongside, were it able to
    if (self->active) self->active->fetch_sub(1);
    self->done = true;
  }
};

TEST(ThreadPoolTest, ItemsHandedToThePoolNeverRunAtTheSameTime) {
  dbThreadPool pool;
  std::atomic<int> active{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> finishedItems{0};
  auto submitter = [&] {
    for (int i = 0; i < 30; i++) {
      Item item;
      item.active = &active;
      item.overlapped = &overlapped;
      dbPooledThread* t = pool.create(Item::run, &item);
      pool.join(t);
      if (item.done) finishedItems += 1;
    }
  };
  std::thread one(submitter), two(submitter);
  one.join();
  two.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(finishedItems, 60);
}

TEST(ThreadPoolTest, JoinReturnsAfterItsOwnItemAndTheThreadIsReused) {
  dbThreadPool pool;
  std::mutex gateMutex;
  std::condition_variable gateOpened;
  bool gateOpen = false;
  Item slow;
  slow.gateMutex = &gateMutex;
  slow.gateOpened = &gateOpened;
  slow.gateOpen = &gateOpen;
  dbPooledThread* t = pool.create(Item::run, &slow);
  while (!slow.started) sched_yield();

  std::atomic<bool> joined{false};
  bool doneAtJoin = false;
  std::thread joiner([&] {
    pool.join(t);
    doneAtJoin = slow.done;
    joined = true;
  });
  for (int i = 0; i < 1000 && !joined; i++) sched_yield();
  EXPECT_FALSE(joined);
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = true;
  }
  gateOpened.notify_all();
  joiner.join();
  EXPECT_TRUE(doneAtJoin);

  Item next;
  pool.join(pool.create(Item::run, &next));
  EXPECT_TRUE(next.done);
  EXPECT_TRUE(pthread_equal(next.thread, slow.thread));
}

TEST(ThreadPoolTest, DestroyingThePoolEndsItsIdleThreads) {
  int endedBefore = threadsEnded;
  {
    dbThreadPool pool;
    Item first, second;
    dbPooledThread* a = pool.create(Item::run, &first);
    dbPooledThread* b = pool.create(Item::run, &second);  // the first thread is busy: a second one
    pool.join(a);
    pool.join(b);
    EXPECT_FALSE(pthread_equal(first.thread, second.thread));
    EXPECT_EQ(threadsEnded, endedBefore);
  }
  EXPECT_EQ(threadsEnded, endedBefore + 2);
}

}  // namespace
