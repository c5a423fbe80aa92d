#include "engine/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void dbFatalAssertion(const char* expression, int line) {
  fprintf(stderr, "Assertion failed: %s, file engine286/sync_w32, line %d\n", expression, line);
  abort();
}

nat4 dbGetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<nat4>(static_cast<nat8>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

nat4 dbGetThreadId() { return static_cast<nat4>(syscall(SYS_gettid)); }

int dbGetProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

// Absolute CLOCK_MONOTONIC deadline the given milliseconds from now.
static timespec deadlineAfter(nat4 milliseconds) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += milliseconds / 1000;
  ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000;
  }
  return ts;
}

static void initMonotonicCond(pthread_cond_t* cond, bool shared) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (shared) pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  dbSyncAssert(pthread_cond_init(cond, &attr) == 0);
  pthread_condattr_destroy(&attr);
}

// A process-shared mutex whose lock passes to the next locker when its owner dies.
static void initRobustSharedMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  dbSyncAssert(pthread_mutex_init(mutex, &attr) == 0);
  pthread_mutexattr_destroy(&attr);
}

// ---- dbMutex

dbMutex::dbMutex() : initialized(true) { pthread_mutex_init(&mutex, nullptr); }

dbMutex::~dbMutex() {
  initialized = false;
  pthread_mutex_destroy(&mutex);
}

void dbMutex::lock() {
  if (initialized) dbSyncAssert(pthread_mutex_lock(&mutex) == 0);
}

void dbMutex::unlock() {
  if (initialized) dbSyncAssert(pthread_mutex_unlock(&mutex) == 0);
}

// ---- dbPrivateWaitable

dbPrivateWaitable::dbPrivateWaitable() {
  pthread_mutex_init(&lock, nullptr);
  initMonotonicCond(&cond, false);
}

dbPrivateWaitable::~dbPrivateWaitable() {
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&lock);
}

void dbPrivateWaitable::waitFor(dbMutex& mutex, bool consume, const char* failure) {
  pthread_mutex_lock(&lock);
  mutex.unlock();
  while (value == 0) {
    if (pthread_cond_wait(&cond, &lock) != 0) dbFatalAssertion(failure, __LINE__);
  }
  if (consume) value -= 1;
  pthread_mutex_unlock(&lock);
  mutex.lock();
}

void dbPrivateWaitable::update(unsigned n, bool add) {
  pthread_mutex_lock(&lock);
  value = add ? value + n : n;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&lock);
}

// ---- dbThread

namespace {
struct ThreadStart {
  dbThread::thread_proc_t f;
  void* arg;
};
void* threadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.f(start.arg);
  return nullptr;
}
}  // namespace

dbThread::~dbThread() {
  if (started) pthread_detach(thread);
}

void dbThread::start(thread_proc_t f, void* arg) {
  auto* s = new ThreadStart{f, arg};
  dbSyncAssert(pthread_create(&thread, nullptr, threadTrampoline, s) == 0);
  started = true;
}

void dbThread::join() {
  if (!started) return;
  dbSyncAssert(pthread_join(thread, nullptr) == 0 && "rc == WAIT_OBJECT_0");
  started = false;
}

// ---- dbSharedMutex

void dbSharedMutex::initialize() { initRobustSharedMutex(&mutex); }

// Locks a robust mutex; when its owner died, the lock passes to the caller
// and ownerDied (if given) is set.
static int lockRobust(pthread_mutex_t* mutex, bool* ownerDied = nullptr) {
  int rc = pthread_mutex_lock(mutex);
  if (ownerDied) *ownerDied = rc == EOWNERDEAD;
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(mutex);
  return rc;
}

bool dbSharedMutex::lock() {
  bool ownerDied;
  dbSyncAssert(lockRobust(&mutex, &ownerDied) == 0 && "rc == WAIT_OBJECT_0");
  return ownerDied;
}

void dbSharedMutex::unlock() { dbSyncAssert(pthread_mutex_unlock(&mutex) == 0); }

// ---- dbSharedSemaphore

void dbSharedSemaphore::initialize() { dbSyncAssert(sem_init(&semaphore, 1, 0) == 0); }

bool dbSharedSemaphore::wait(nat4 milliseconds) {
  int rc;
  if (milliseconds == dbWaitForever) {
    do rc = sem_wait(&semaphore);
    while (rc != 0 && errno == EINTR);
    dbSyncAssert(rc == 0 && "rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT");
    return true;
  }
  timespec deadline = deadlineAfter(milliseconds);
  do rc = sem_clockwait(&semaphore, CLOCK_MONOTONIC, &deadline);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) dbSyncAssert(errno == ETIMEDOUT && "rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT");
  return rc == 0;
}

void dbSharedSemaphore::signal(unsigned n) {
  while (n-- != 0) dbSyncAssert(sem_post(&semaphore) == 0);
}

// ---- dbSharedEvent

void dbSharedEvent::initialize() {
  initRobustSharedMutex(&mutex);
  initMonotonicCond(&cond, true);
  signaled = 0;
}

bool dbSharedEvent::wait(nat4 milliseconds) {
  dbSyncAssert(lockRobust(&mutex) == 0);
  timespec deadline = deadlineAfter(milliseconds == dbWaitForever ? 0 : milliseconds);
  int rc = 0;
  while (!signaled && rc == 0) {
    rc = milliseconds == dbWaitForever ? pthread_cond_wait(&cond, &mutex)
                                       : pthread_cond_timedwait(&cond, &mutex, &deadline);
    if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&mutex);
  }
  bool result = signaled != 0;
  pthread_mutex_unlock(&mutex);
  dbSyncAssert((rc == 0 || rc == ETIMEDOUT) && "rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT");
  return result;
}

void dbSharedEvent::signal() {
  dbSyncAssert(lockRobust(&mutex) == 0);
  signaled = 1;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mutex);
}

void dbSharedEvent::reset() {
  dbSyncAssert(lockRobust(&mutex) == 0);
  signaled = 0;
  pthread_mutex_unlock(&mutex);
}

// ---- dbSharedMemory

dbSharedMemory::~dbSharedMemory() { close(); }

bool dbSharedMemory::open(const std::string& name, size_t blockSize) {
  std::string path = "/" + name;
  int fd = shm_open(path.c_str(), O_RDWR | O_CREAT, 0666);
  if (fd < 0) return false;
  struct stat st;
  // A block left by an older build of a different size is resized; the
  // initialising process resets its contents anyway.
  if (fstat(fd, &st) != 0 || (static_cast<size_t>(st.st_size) != blockSize && ftruncate(fd, blockSize) != 0)) {
    ::close(fd);
    return false;
  }
  void* p = mmap(nullptr, blockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) return false;
  address = p;
  size = blockSize;
  return true;
}

void dbSharedMemory::remove(const std::string& name) { shm_unlink(("/" + name).c_str()); }

void dbSharedMemory::close() {
  if (address) munmap(address, size);
  address = nullptr;
  size = 0;
}

// ---- dbProcessLock

static bool setRangeLock(int fd, short type, off_t start, bool wait) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  int rc;
  do rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

dbProcessLock::~dbProcessLock() { close(); }

bool dbProcessLock::enterInitialization(const std::string& name) {
  close();
  std::string path = "/dev/shm/" + name;
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (!setRangeLock(fd, F_WRLCK, 0, true)) {
    close();
    return false;
  }
  return true;
}

bool dbProcessLock::registerUser() {
  // Other users hold shared locks on byte 1; an exclusive lock succeeds only
  // when none is alive. Either way this process ends up holding a shared one.
  bool alone = setRangeLock(fd, F_WRLCK, 1, false);
  dbSyncAssert(setRangeLock(fd, F_RDLCK, 1, true));
  return alone;
}

bool dbProcessLock::leaveAsLastUser() {
  if (fd < 0 || !setRangeLock(fd, F_WRLCK, 0, true)) return false;
  // Converting this process's own shared lock succeeds only when no other holds one.
  return setRangeLock(fd, F_WRLCK, 1, false);
}

void dbProcessLock::leaveInitialization() {
  if (fd >= 0) setRangeLock(fd, F_UNLCK, 0, false);
}

void dbProcessLock::close() {
  if (fd >= 0) ::close(fd);  // closing the descriptor drops its locks
  fd = -1;
}
