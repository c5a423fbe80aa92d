// A database whose error handler also remembers every message it reported.
#pragma once

#include <string>
#include <vector>

#include "engine/database.h"

class RecordingDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;

  void handleError(dbErrorClass error, const char* msg, int arg) override {
    errors.push_back({error, msg ? msg : "", arg});
    dbDatabase::handleError(error, msg, arg);
  }
  // The message of the last error reported, or "" when there was none.
  std::string lastMessage() const { return errors.empty() ? "" : errors.back().message; }

  struct Error {
    dbErrorClass error;
    std::string message;
    int arg = 0;  // the position of a query error, the index out of range, ...
  };
  std::vector<Error> errors;
};
