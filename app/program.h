// The program-wide objects that every window shares.
#pragma once

#include "wrapper/ardon_database.h"

// The name of the organisation that uses the program, in UTF-8: the title of
// its reports. Fixed when the program is built (CMake cache variable
// TORVIK_COMPANY_NAME).
extern const char* const companyName;

// Holds the program's one database object, constructed with the program's
// settings: read-write, a first file of 1 MiB grown by 4 MiB, an object index
// of 65536 entries, one scan thread. main makes one before any window exists
// and keeps it to the end of the process; a test makes one per run of the
// program it plays. At most one lives at a time.
//
// Destroying it does not close the database: a program that ends leaves the
// database open, and whatever it did not commit is dropped by the recovery
// at the next open.
class ProgramDatabase {
 public:
  ProgramDatabase();
  ~ProgramDatabase();
  ProgramDatabase(const ProgramDatabase&) = delete;
  ProgramDatabase& operator=(const ProgramDatabase&) = delete;

 private:
  ardonDatabase database;
};

// The database object of the living ProgramDatabase.
ardonDatabase& theDatabase();
