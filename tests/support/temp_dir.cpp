#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TempDir::TempDir() {
  char pattern[] = "/tmp/torvik-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir = pattern;
  previous = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::current_path(previous, ec);
  std::filesystem::remove_all(dir, ec);
}

MemoryDir::MemoryDir() {
  char pattern[] = "/dev/shm/torvik-crash-XXXXXX";
  if (mkdtemp(pattern)) path = pattern;
}

MemoryDir::~MemoryDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string uniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}
