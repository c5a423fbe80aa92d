#include "engine/exception.h"

#include <cstdlib>
#include <cstring>

static char* copyMessage(const char* text) { return text ? strdup(text) : nullptr; }

dbException::dbException(int errorCode, const char* message, int argument)
    : errorCode(errorCode), message(copyMessage(message)), argument(argument) {}

dbException::dbException(const dbException& other)
    : errorCode(other.errorCode), message(copyMessage(other.message)), argument(other.argument) {}

dbException& dbException::operator=(const dbException& other) {
  if (this != &other) {
    char* copy = copyMessage(other.message);
    free(message);
    message = copy;
    errorCode = other.errorCode;
    argument = other.argument;
  }
  return *this;
}

dbException::~dbException() { free(message); }

const char* dbException::what() const noexcept {
  return message ? message : "internal consistency check failed";
}

void dbThrowInternalError() { throw dbException(NoError); }
