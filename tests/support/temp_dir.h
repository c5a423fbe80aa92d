// A fresh working folder per test: created empty, made the current directory
// while the object lives, removed with everything in it afterwards.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
  std::string previous;
};

// A folder in memory (under /dev/shm), removed with everything in it
// afterwards; path is empty when it could not be made. A process that dies
// leaves its writes in the page cache all the same, so a death there tests
// the order of the writes, not the disk, and flushes stay cheap.
class MemoryDir {
 public:
  MemoryDir();
  ~MemoryDir();
  MemoryDir(const MemoryDir&) = delete;
  MemoryDir& operator=(const MemoryDir&) = delete;

  std::string path;
};

// A name unique to this test process, for databases whose shared objects must
// not meet those of a test running in parallel.
std::string uniqueName(const std::string& stem);
