// The operating-system layer of the engine: in-process mutexes, events and
// semaphores, threads, thread-local slots, the tick count, and the primitives
// that processes opening the same database share.
//
// Cross-process primitives live in a named shared memory block and are built
// so that a process killed while it holds or waits on one never blocks the
// others: mutexes are robust (the next locker takes over a dead owner's lock),
// and which process initialises the shared state is decided by file locks
// that the kernel drops with a dying process, never by whether a name exists.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <string>

#include "engine/types.h"

// A failed wait of the operating system is fatal; the message names this
// unit under its historical name.
[[noreturn]] void dbFatalAssertion(const char* expression, int line);
#define dbSyncAssert(cond) \
  do {                     \
    if (!(cond)) dbFatalAssertion(#cond, __LINE__); \
  } while (0)

constexpr nat4 dbWaitForever = 0xFFFFFFFFu;

// Milliseconds from an arbitrary start, wrapping at 2^32 like a tick count.
nat4 dbGetTickCount();
// Identifier of the calling thread, unique within the system while it runs.
nat4 dbGetThreadId();
int dbGetProcessorCount();

// In-process mutex. lock and unlock do nothing once the mutex is destroyed, so
// late users at program exit pass through.
class dbMutex {
 public:
  dbMutex();
  ~dbMutex();
  dbMutex(const dbMutex&) = delete;
  dbMutex& operator=(const dbMutex&) = delete;
  void lock();
  void unlock();
  bool isInitialized() const { return initialized; }
  pthread_mutex_t* handle() { return &mutex; }

 private:
  pthread_mutex_t mutex;
  bool initialized;
};

// Scoped lock of a dbMutex.
class dbCriticalSection {
 public:
  explicit dbCriticalSection(dbMutex& m) : mutex(m) { mutex.lock(); }
  ~dbCriticalSection() { mutex.unlock(); }
  dbCriticalSection(const dbCriticalSection&) = delete;
  dbCriticalSection& operator=(const dbCriticalSection&) = delete;

 private:
  dbMutex& mutex;
};

// A value guarded by its own lock, for the unnamed event and semaphore.
class dbPrivateWaitable {
 protected:
  dbPrivateWaitable();
  ~dbPrivateWaitable();
  dbPrivateWaitable(const dbPrivateWaitable&) = delete;
  dbPrivateWaitable& operator=(const dbPrivateWaitable&) = delete;
  // Releases the caller's mutex, waits until the value is not 0 (taking one
  // from it when consume is set) and locks the mutex again. The own lock is
  // taken before the mutex is released, so a signal sent in between is not lost.
  void waitFor(dbMutex& mutex, bool consume, const char* failure);
  // Sets the value, or adds to it, and wakes the waiters.
  void update(unsigned n, bool add);

 private:
  pthread_mutex_t lock;
  pthread_cond_t cond;
  unsigned value = 0;
};

// Unnamed manual-reset event. wait releases the given mutex while it waits.
class dbPrivateEvent : private dbPrivateWaitable {
 public:
  void wait(dbMutex& mutex) { waitFor(mutex, false, "rc == WAIT_OBJECT_0"); }
  void signal() { update(1, false); }
  void reset() { update(0, false); }
};

// Unnamed counting semaphore, initial count 0. wait releases the given mutex
// while it waits.
class dbPrivateSemaphore : private dbPrivateWaitable {
 public:
  void wait(dbMutex& mutex) { waitFor(mutex, true, "rc == WAIT_TIMEOUT"); }
  void signal(unsigned n = 1) {
    if (n != 0) update(n, true);
  }
};

// An operating-system thread.
class dbThread {
 public:
  typedef void (*thread_proc_t)(void* arg);
  dbThread() = default;
  ~dbThread();
  dbThread(const dbThread&) = delete;
  dbThread& operator=(const dbThread&) = delete;
  void start(thread_proc_t f, void* arg);
  void join();

 private:
  pthread_t thread{};
  bool started = false;
};

// A thread-local slot holding a T* for each thread.
template <class T>
class dbThreadContext {
 public:
  dbThreadContext() { dbSyncAssert(pthread_key_create(&key, nullptr) == 0 && "index != TLS_OUT_OF_INDEXES"); }
  ~dbThreadContext() { pthread_key_delete(key); }
  dbThreadContext(const dbThreadContext&) = delete;
  dbThreadContext& operator=(const dbThreadContext&) = delete;
  T* get() const { return static_cast<T*>(pthread_getspecific(key)); }
  void set(T* value) { pthread_setspecific(key, value); }

 private:
  pthread_key_t key;
};

// ---- Primitives shared between processes; they live in shared memory and are
// initialised only by the process that initialises the shared state.

// Robust process-shared mutex: a lock held by a process (or thread) that died
// is taken over by the next locker.
class dbSharedMutex {
 public:
  void initialize();
  // True when the lock was taken over from an owner that died holding it:
  // whatever it guarded may be half changed.
  bool lock();
  void unlock();

 private:
  pthread_mutex_t mutex;
};

// Process-shared counting semaphore, initial count 0, at most 1000000.
class dbSharedSemaphore {
 public:
  void initialize();
  // True when acquired, false on time-out (dbWaitForever: no limit).
  bool wait(nat4 milliseconds);
  void signal(unsigned n = 1);

 private:
  sem_t semaphore;
};

// Process-shared manual-reset event, initially clear.
class dbSharedEvent {
 public:
  void initialize();
  bool wait(nat4 milliseconds);
  void signal();
  void reset();

 private:
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int signaled;
};

// A named block of shared memory ("/dev/shm/<name>"), created or attached.
class dbSharedMemory {
 public:
  dbSharedMemory() = default;
  ~dbSharedMemory();
  dbSharedMemory(const dbSharedMemory&) = delete;
  dbSharedMemory& operator=(const dbSharedMemory&) = delete;
  // Maps the block of the given size, creating it zero-filled when missing.
  bool open(const std::string& name, size_t size);
  void close();
  void* get() const { return address; }
  static void remove(const std::string& name);

 private:
  void* address = nullptr;
  size_t size = 0;
};

// The file locks that order the processes opening one database name. Byte 0 of
// the lock file is the initialisation mutex; every process that has the
// database open holds a shared lock on byte 1 until it closes it, so that a
// process that finds no holder of byte 1 knows that it is the only one alive.
// The kernel releases both when a process dies.
class dbProcessLock {
 public:
  dbProcessLock() = default;
  ~dbProcessLock();
  dbProcessLock(const dbProcessLock&) = delete;
  dbProcessLock& operator=(const dbProcessLock&) = delete;
  // Opens the lock file and takes the initialisation mutex (waiting without
  // limit). Returns false when the lock file cannot be opened or locked.
  bool enterInitialization(const std::string& name);
  // True when no other live process has the database open. Must be called
  // with the initialisation mutex held; afterwards this process is counted.
  bool registerUser();
  void leaveInitialization();
  // Takes the initialisation mutex again and tells whether this process is
  // the last user; the caller may then remove the shared state before close.
  bool leaveAsLastUser();
  // Stops being counted and closes the lock file.
  void close();

 private:
  int fd = -1;
};
