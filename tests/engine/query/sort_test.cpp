// The introsort of record identifiers: every input shape and size comes out
// ordered and a permutation of the input; already ordered input is
// recognised in one pass either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/query/sort.h"

namespace {

// Identifier i stands for the key keys[i].
std::vector<int> keys;
long comparisons = 0;

int compareKeys(oid_t a, oid_t b) {
  comparisons += 1;
  return keys[a] < keys[b] ? -1 : keys[a] > keys[b] ? 1 : 0;
}

std::vector<oid_t> identity(size_t n) {
  std::vector<oid_t> ids(n);
  for (size_t i = 0; i < n; i++) ids[i] = static_cast<oid_t>(i);
  return ids;
}

enum Shape { Random, FewDistinct, Ascending, Descending, AllEqual, OrganPipe, Sawtooth };

std::vector<int> makeKeys(Shape shape, size_t n, std::mt19937& rng) {
  std::vector<int> k(n);
  for (size_t i = 0; i < n; i++) {
    int v = static_cast<int>(i);
    switch (shape) {
      case Random: k[i] = static_cast<int>(rng() % 100000); break;
      case FewDistinct: k[i] = static_cast<int>(rng() % 3); break;
      case Ascending: k[i] = v; break;
      case Descending: k[i] = -v; break;
      case AllEqual: k[i] = 7; break;
      case OrganPipe: k[i] = i < n / 2 ? v : static_cast<int>(n) - v; break;
      case Sawtooth: k[i] = v % 17; break;
    }
  }
  return k;
}

TEST(SortTest, EveryShapeAndSizeComesOutOrdered) {
  std::mt19937 rng(42);
  for (size_t n : {0, 1, 2, 3, 49, 50, 51, 52, 100, 1000, 5000}) {
    for (Shape shape : {Random, FewDistinct, Ascending, Descending, AllEqual, OrganPipe, Sawtooth}) {
      keys = makeKeys(shape, n, rng);
      std::vector<oid_t> ids = identity(n);
      std::shuffle(ids.begin(), ids.end(), rng);
      if (shape == Ascending || shape == Descending) ids = identity(n);
      dbSortIdentifiers(ids.data(), n, compareKeys);
      std::vector<oid_t> sortedIds = ids;
      std::sort(sortedIds.begin(), sortedIds.end());
      EXPECT_EQ(sortedIds, identity(n)) << "not a permutation: n=" << n << " shape=" << shape;
      for (size_t i = 1; i < n; i++) {
        ASSERT_LE(keys[ids[i - 1]], keys[ids[i]]) << "n=" << n << " shape=" << shape << " at " << i;
      }
    }
  }
}

TEST(SortTest, OrderedInputIsRecognisedInOnePass) {
  const size_t n = 1000;
  keys.resize(n);
  for (size_t i = 0; i < n; i++) keys[i] = static_cast<int>(i);
  std::vector<oid_t> ids = identity(n);
  comparisons = 0;
  dbSortIdentifiers(ids.data(), n, compareKeys);
  EXPECT_EQ(comparisons, static_cast<long>(n - 1));
  EXPECT_EQ(ids, identity(n));

  // Descending: the ascending check fails at once, the descending one passes, and the array is reversed.
  std::reverse(ids.begin(), ids.end());
  comparisons = 0;
  dbSortIdentifiers(ids.data(), n, compareKeys);
  EXPECT_EQ(comparisons, static_cast<long>(n));
  EXPECT_EQ(ids, identity(n));
}

TEST(SortTest, TwoRecordsInOrderStay) {
  keys = {1, 1};
  std::vector<oid_t> ids = {1, 0};
  comparisons = 0;
  dbSortIdentifiers(ids.data(), 2, compareKeys);
  EXPECT_EQ(comparisons, 1);
  EXPECT_EQ(ids, (std::vector<oid_t>{1, 0}));
}

}  // namespace
