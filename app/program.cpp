#include "app/program.h"

ardonDatabase& theDatabase() {
  static ardonDatabase database(dbDatabase::accessReadWrite, 1048576, 4194304, 65536, 1);
  return database;
}

const char* companyName() { return TORVIK_COMPANY_NAME; }
