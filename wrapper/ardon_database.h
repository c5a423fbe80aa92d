// The program's database handle: a dbDatabase that remembers the working
// folder and the database name, names the file "<name>.rvd", and refuses to
// open from a file system where sharing a memory-mapped file is unsafe.
#pragma once

#include <string>

#include "engine/database.h"

class ardonDatabase : public dbDatabase {
 public:
  ardonDatabase(nat1 accessMode, nat4 initialFileSize, nat4 extensionQuantum, nat4 initialIndexSize, int scanThreads)
      : dbDatabase(accessMode, initialFileSize, extensionQuantum, initialIndexSize, scanThreads) {}

  // Returns false without any message when the working folder lies on a
  // network, optical or other file system that cannot carry a shared mapping;
  // otherwise the result of dbDatabase::open. fileName may be null.
  bool open(const char* name, const char* fileName = nullptr, nat4 waitLockTimeout = dbWaitForever,
            nat4 commitDelay = 0);

  // The current directory at the first open; empty before it.
  const std::string& workingFolder() const { return folder; }
  const std::string& getDatabaseName() const { return databaseName; }

 private:
  std::string folder;
  std::string databaseName;
};

// True when the file system holding path is one on which a memory-mapped
// database may be shared: not a network, optical or similar file system.
bool isSuitableFileSystem(const char* path);
