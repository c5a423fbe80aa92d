// Files of the calling process may not grow beyond a limit while the object
// lives: a full disk, without the disk. SIGXFSZ, which the limit raises, is
// ignored meanwhile, so that a write past it only fails.
#pragma once

#include <signal.h>
#include <sys/resource.h>

class FileLimit {
 public:
  explicit FileLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit limit = old;
    limit.rlim_cur = bytes;
    signal(SIGXFSZ, SIG_IGN);
    set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
  }
  FileLimit(const FileLimit&) = delete;
  FileLimit& operator=(const FileLimit&) = delete;

  bool set = false;  // the limit is in force

 private:
  struct rlimit old;
};
