// A file mapped into memory as a whole, with MAP_SHARED so that every process
// mapping the same file sees the same bytes.
#pragma once

#include <string>

#include "engine/types.h"

class dbMappedFile {
 public:
  dbMappedFile() = default;
  ~dbMappedFile();
  dbMappedFile(const dbMappedFile&) = delete;
  dbMappedFile& operator=(const dbMappedFile&) = delete;

  // Opens (read-only: existing only) or creates the file and maps it whole.
  // A writable empty file is first given initSize zero bytes. Every page is
  // touched so that the file is in memory from the start. Returns 0 or errno.
  int open(const char* fileName, const char* mappingName, bool readOnly, size_t initSize);
  // Writes the whole mapping back to the disk. Returns 0 or errno.
  int flush();
  // Maps the file anew at newSize bytes, growing the file when it is shorter
  // (the new bytes read as zero). The base address may change. Returns 0 or errno.
  int setSize(size_t newSize, const char* mappingName);
  // Maps again at the file's present size, for a process that follows another
  // one's growth.
  int remapToFileSize(const char* mappingName);
  int close();

  byte* getBase() const { return base; }
  size_t getSize() const { return size; }
  // Size of the file before open enlarged an empty one.
  size_t getOriginalSize() const { return originalSize; }
  bool isOpen() const { return fd >= 0; }

 private:
  int map(size_t newSize);
  int reserve(size_t oldSize, size_t newSize);
  void loadIntoPageCache(size_t length);

  int fd = -1;
  bool readOnly = false;
  std::string mappingName;
  byte* base = nullptr;
  size_t size = 0;
  size_t originalSize = 0;
};
