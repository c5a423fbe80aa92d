#include "wrapper/ardon_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Where a text landed: which block (0 = first) and at which offset.
struct Placement {
  int block;
  long offset;
};

Placement placementOf(const ardonBuffer& pool, const char* p) {
  int n = 0;
  for (const ardonBuffer::MemBlock* b = pool.getFirst(); b; b = b->next, n++) {
    if (p >= b->data && p < b->data + b->size) return {n, p - b->data};
  }
  return {-1, -1};
}

TEST(ArdonBufferTest, EmptyAndNullTextsShareOneEmptyString) {
  ardonBuffer pool;
  char* a = pool.addText("");
  char* b = pool.addText(nullptr);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, "");
  EXPECT_EQ(pool.getUsed(), 0u);
  EXPECT_EQ(placementOf(pool, a).block, -1);
}

TEST(ArdonBufferTest, TextsFillBlocksWithoutStraddling) {
  struct Step {
    size_t length;
    int block;
    long offset;
    nat4 usedAfter;
    nat4 blockSize;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"510 characters fit the first block", {{510, 0, 0, 511, 512}, {1, 1, 511, 513, 514}}},
      {"600 characters open a block of 602", {{600, 1, 0, 601, 602}}},
      {"100 then 450 characters", {{100, 0, 0, 101, 512}, {450, 1, 101, 552, 553}, {1, 2, 552, 554, 555}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ardonBuffer pool;
    for (const Step& s : c.steps) {
      std::string text(s.length, 'x');
      char* p = pool.addText(text.c_str());
      EXPECT_EQ(std::string(p), text);
      Placement where = placementOf(pool, p);
      EXPECT_EQ(where.block, s.block);
      EXPECT_EQ(where.offset, s.offset);
      EXPECT_EQ(pool.getUsed(), s.usedAfter);
      EXPECT_EQ(pool.getCurrent()->size, s.blockSize);
    }
  }
}

TEST(ArdonBufferTest, ReserveFollowsTheSameRule) {
  ardonBuffer pool;
  char* a = pool.reserve(100);
  char* b = pool.reserve(450);
  EXPECT_EQ(placementOf(pool, a).block, 0);
  EXPECT_EQ(placementOf(pool, b).block, 1);
  EXPECT_EQ(placementOf(pool, b).offset, 101);
  EXPECT_EQ(pool.getUsed(), 552u);
}

}  // namespace
