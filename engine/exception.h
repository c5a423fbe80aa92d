// The one exception type the engine throws, and its internal consistency check.
#pragma once

#include <exception>

// Error classes reported through dbDatabase::handleError. Classes 1, 4, 10 and
// 11 are printed and returned; the others (but 0) are printed and thrown.
enum dbErrorClass {
  NoError = 0,  // also: a failed internal consistency check (no message)
  QueryError = 1,
  ArithmeticError = 2,
  IndexOutOfRange = 3,
  DatabaseOpenError = 4,
  FileError = 5,
  OutOfMemory = 6,
  Deadlock = 7,
  NullReference = 8,
  LockRevoked = 9,
  FileLimitExceeded = 10,
  InconsistentInverseReference = 11,
  DatabaseReadOnly = 12,
};

// Carries the error class, a private copy of the message (or none) and an
// integer argument (a position, a size, an index, a system error code).
class dbException : public std::exception {
 public:
  explicit dbException(int errorCode, const char* message = nullptr, int argument = 0);
  dbException(const dbException& other);
  dbException& operator=(const dbException& other);
  ~dbException() override;

  int getErrCode() const { return errorCode; }
  const char* getMsg() const { return message; }
  int getArg() const { return argument; }
  const char* what() const noexcept override;

 private:
  int errorCode;
  char* message;
  int argument;
};

// Throws the internal consistency exception (class 0, no message, argument 0).
[[noreturn]] void dbThrowInternalError();

// Internal consistency check: stays active in every build, because a broken
// invariant of the stored file must never turn into undefined behaviour.
#define dbCheck(cond)                  \
  do {                                 \
    if (!(cond)) dbThrowInternalError(); \
  } while (0)
