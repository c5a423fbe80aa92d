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

// A name unique to this test process, for databases whose shared objects must
// not meet those of a test running in parallel.
std::string uniqueName(const std::string& stem);
