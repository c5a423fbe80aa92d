#include "engine/thread_pool.h"

dbPooledThread::dbPooledThread(dbThreadPool* owner) : pool(owner) { thread.start(pooledThreadFunc, this); }

dbPooledThread::~dbPooledThread() { thread.join(); }

void dbPooledThread::pooledThreadFunc(void* arg) { static_cast<dbPooledThread*>(arg)->run(); }

void dbPooledThread::run() {
  dbMutex& mutex = pool->mutex;
  mutex.lock();
  while (true) {
    startSemaphore.wait(mutex);
    if (!running) break;
    f(arg);
    readySemaphore.signal();
  }
  readySemaphore.signal();
  mutex.unlock();
}

dbPooledThread* dbThreadPool::create(dbThread::thread_proc_t f, void* arg) {
  dbCriticalSection cs(mutex);
  dbPooledThread* t = freeThreads;
  if (t != nullptr) {
    freeThreads = t->next;
  } else {
    t = new dbPooledThread(this);
  }
  t->f = f;
  t->arg = arg;
  t->startSemaphore.signal();
  return t;
}

void dbThreadPool::join(dbPooledThread* t) {
  dbCriticalSection cs(mutex);
  t->readySemaphore.wait(mutex);
  t->next = freeThreads;
  freeThreads = t;
}

dbThreadPool::~dbThreadPool() {
  mutex.lock();
  while (dbPooledThread* t = freeThreads) {
    freeThreads = t->next;
    t->running = false;
    t->startSemaphore.signal();
    t->readySemaphore.wait(mutex);
    mutex.unlock();  // the thread unlocks after its last signal; join it outside the mutex
    delete t;
    mutex.lock();
  }
  mutex.unlock();
}
