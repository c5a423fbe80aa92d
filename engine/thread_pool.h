// A pool of threads for the parallel scan. Work items handed to the pool run
// one at a time, because each runs while its thread holds the pool mutex.
#pragma once

#include "engine/sync.h"

class dbThreadPool;

class dbPooledThread {
  friend class dbThreadPool;

  dbPooledThread(dbThreadPool* pool);
  ~dbPooledThread();
  static void pooledThreadFunc(void* arg);
  void run();

  dbThread thread;
  dbThreadPool* pool;
  dbPooledThread* next = nullptr;
  dbThread::thread_proc_t f = nullptr;
  void* arg = nullptr;
  bool running = true;
  dbPrivateSemaphore startSemaphore;
  dbPrivateSemaphore readySemaphore;
};

class dbThreadPool {
 public:
  dbThreadPool() = default;
  // Ends every idle thread. Threads not joined back must not exist any more.
  ~dbThreadPool();
  dbThreadPool(const dbThreadPool&) = delete;
  dbThreadPool& operator=(const dbThreadPool&) = delete;

  // Runs f(arg) on an idle pooled thread, or on a new one.
  dbPooledThread* create(dbThread::thread_proc_t f, void* arg);
  // Waits until the thread's work item has finished and returns it to the pool.
  void join(dbPooledThread* thread);

 private:
  friend class dbPooledThread;
  dbMutex mutex;
  dbPooledThread* freeThreads = nullptr;
};
