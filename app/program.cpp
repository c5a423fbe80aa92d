#include "app/program.h"

#include <stdexcept>

const char* const companyName = TORVIK_COMPANY_NAME;

namespace {
ardonDatabase* programDatabase = nullptr;
}

ProgramDatabase::ProgramDatabase() : database(dbDatabase::accessReadWrite, 1048576, 4194304, 65536, 1) {
  if (programDatabase != nullptr) throw std::logic_error("a program database lives already");
  programDatabase = &database;
}

ProgramDatabase::~ProgramDatabase() { programDatabase = nullptr; }

ardonDatabase& theDatabase() {
  if (programDatabase == nullptr) throw std::logic_error("no program database lives");
  return *programDatabase;
}
