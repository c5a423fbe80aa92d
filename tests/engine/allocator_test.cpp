#include "engine/allocator.h"

#include <gtest/gtest.h>

namespace {

bool isFree(int v, int bit) { return !(v & (1 << bit)); }

// Every entry of the four tables, checked against the bits of its byte.
TEST(BitmapByteTables, DescribeEveryByte) {
  const auto& t = dbBitmapBytes;
  for (int v = 0; v < 256; v++) {
    SCOPED_TRACE(v);
    int low = t.freeLowBits[v];
    for (int b = 0; b < low; b++) EXPECT_TRUE(isFree(v, b));
    if (low < 8) {
      EXPECT_FALSE(isFree(v, low));
    }
    int high = t.freeHighBits[v];
    for (int b = 0; b < high; b++) EXPECT_TRUE(isFree(v, 7 - b));
    if (high < 8) {
      EXPECT_FALSE(isFree(v, 7 - high));
    }

    int run = t.longestFreeRun[v], start = t.longestFreeRunStart[v];
    ASSERT_LE(start + run, 8);
    for (int b = start; b < start + run; b++) EXPECT_TRUE(isFree(v, b));
    // No longer run anywhere, and no run as long that starts lower.
    for (int s = 0; s < 8; s++) {
      int len = 0;
      while (s + len < 8 && isFree(v, s + len)) len++;
      EXPECT_LE(len, run);
      if (s < start) {
        EXPECT_LT(len, run);
      }
    }
  }
}

TEST(BitmapByteTables, NamedBytes) {
  struct Case {
    int value, low, high, run, start;
  } cases[] = {
      {0, 8, 8, 8, 0},
      {255, 0, 0, 0, 0},
      {102, 1, 1, 2, 3},   // bits 1, 2, 5, 6 used
      {0x18, 3, 3, 3, 0},  // two runs of 3: the lower one counts
      {0x81, 0, 0, 6, 1},
      {0x10, 4, 3, 4, 0},
  };
  const auto& t = dbBitmapBytes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(t.freeLowBits[c.value], c.low);
    EXPECT_EQ(t.freeHighBits[c.value], c.high);
    EXPECT_EQ(t.longestFreeRun[c.value], c.run);
    EXPECT_EQ(t.longestFreeRunStart[c.value], c.start);
  }
}

static_assert(dbBitmapBytes.longestFreeRun[102] == 2, "the tables are built at compile time");

}  // namespace
