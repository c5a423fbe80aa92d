// The error classes: which are printed and returned, which are thrown, and
// what the exception carries.
#include <gtest/gtest.h>

#include "engine/database.h"

namespace {

struct ErrorCase {
  dbErrorClass error;
  const char* message;
  int argument;
  bool throws;
  const char* printed;
};

const ErrorCase cases[] = {
    {QueryError, "operand expected", 7, false, "operand expected in position 7\n"},
    {ArithmeticError, "Division by zero", 0, true, "Division by zero\n"},
    {IndexOutOfRange, nullptr, 3, true, "Index 3 is out of range\n"},
    {DatabaseOpenError, "Failed to open database monitor", 0, false, "Failed to open database monitor\n"},
    {FileError, "Failed to extend file", 28, true, "Failed to extend file: No space left on device\n"},
    {FileError, "Failed to extend file", 100000, true, "Failed to extend file: unknown error code 100000\n"},
    {OutOfMemory, nullptr, 123456, true, "Not enough memory: failed to allocate 123456 bytes\n"},
    {Deadlock, nullptr, 0, true, "Deadlock is caused by upgrading shared locks to exclusive"},
    {NullReference, nullptr, 0, true, "Null object reference is accessed\n"},
    {LockRevoked, nullptr, 0, true, "Lock is revoked by some other client"},
    {FileLimitExceeded, nullptr, 0, false, ""},
    {InconsistentInverseReference, "Failed to locate inverse reference field A.b for field C.d", 0, false,
     "Failed to locate inverse reference field A.b for field C.d\n"},
    {DatabaseReadOnly, nullptr, 0, true, "Attempt to modify readonly database"},
};

TEST(ErrorTest, EachClassIsPrintedThenReturnedOrThrown) {
  dbDatabase db;
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.error);
    testing::internal::CaptureStderr();
    bool thrown = false;
    try {
      db.handleError(c.error, c.message, c.argument);
    } catch (const dbException& e) {
      thrown = true;
      EXPECT_EQ(e.getErrCode(), c.error);
      EXPECT_EQ(e.getArg(), c.argument);  // OutOfMemory carries the size
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    EXPECT_EQ(thrown, c.throws);
  }
}

TEST(ErrorTest, ExceptionOwnsACopyOfItsMessage) {
  char text[] = "original";
  dbException e(ArithmeticError, text, 5);
  text[0] = 'X';
  dbException copy = e;
  EXPECT_STREQ(e.getMsg(), "original");
  EXPECT_STREQ(copy.getMsg(), "original");
  EXPECT_EQ(copy.getArg(), 5);
  EXPECT_EQ(dbException(NoError).getMsg(), nullptr);
}

TEST(ErrorTest, InternalCheckThrowsClassZeroWithoutMessage) {
  try {
    dbCheck(1 + 1 == 3);
    FAIL() << "no exception";
  } catch (const dbException& e) {
    EXPECT_EQ(e.getErrCode(), 0);
    EXPECT_EQ(e.getMsg(), nullptr);
    EXPECT_EQ(e.getArg(), 0);
  }
}

}  // namespace
