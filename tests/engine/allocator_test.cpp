#include "engine/allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

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

// A database whose allocator state the tests may read and set.
class AllocDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::bitmapPageAvailableSpace;
  using dbDatabase::currPBitmapOffs;
  using dbDatabase::currPBitmapPage;
  using dbDatabase::currRBitmapOffs;
  using dbDatabase::currRBitmapPage;

  byte bitmapByte(nat8 quantum) {
    return get(static_cast<oid_t>(dbBitmapId + quantum / dbQuantaPerBitmapPage))[(quantum % dbQuantaPerBitmapPage) / 8];
  }
  bool used(nat8 quantum) { return (bitmapByte(quantum) >> (quantum % 8)) & 1; }
  // Every quantum of [first, first + count) is used (true) or free (false).
  bool all(nat8 first, nat8 count, bool value) {
    for (nat8 q = first; q < first + count; q++) {
      if (used(q) != value) return false;
    }
    return true;
  }
  // Free quanta right below quantum `end`.
  nat8 freeRunBefore(nat8 end) {
    nat8 n = 0;
    while (n < end && !used(end - n - 1)) n++;
    return n;
  }
  bool committed(oid_t oid) const { return isCommitted(oid); }
};

int errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const dbException& e) {
    return e.getErrCode();
  }
  return -1;
}

constexpr nat4 kQuantum = 4194304;
constexpr nat4 kFileSize = 1048576;

class AllocatorTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("alloc");
  std::string file = dir.file("alloc.rvd");
  std::unique_ptr<AllocDatabase> db;

  // Opens (creating on the first call) and starts a write transaction.
  void open(nat4 extensionQuantum = kQuantum) {
    db = std::make_unique<AllocDatabase>(dbDatabase::accessReadWrite, kFileSize, extensionQuantum, 65536, 1);
    ASSERT_TRUE(db->open(name.c_str(), file.c_str()));
    ASSERT_TRUE(db->beginTransaction(dbDatabase::dbExclusiveLock));
  }
  void TearDown() override {
    if (db && db->isOpen()) db->close();
  }
  // A record of size bytes with its oid, its header filled and the rest a
  // pattern derived from the oid.
  oid_t storeRecord(nat4 size) {
    oid_t oid = db->allocateId();
    offs_t pos = db->allocate(size);
    db->getCurrentIndex()[oid] = pos;
    byte* rec = db->getBaseAddress() + pos;
    *reinterpret_cast<dbRecord*>(rec) = {size, 0, 0};
    for (nat4 i = sizeof(dbRecord); i < size; i++) rec[i] = static_cast<byte>(oid * 7 + i);
    return oid;
  }
  bool recordIntact(oid_t oid, nat4 size) {
    const byte* rec = db->getRow(oid);
    if (reinterpret_cast<const dbRecord*>(rec)->size != size) return false;
    for (nat4 i = sizeof(dbRecord); i < size; i++) {
      if (rec[i] != static_cast<byte>(oid * 7 + i)) return false;
    }
    return true;
  }
};

TEST_F(AllocatorTest, RecordRequestTakesWholeQuantaAfterTheCursor) {
  open();
  offs_t a = db->allocate(20);
  offs_t b = db->allocate(20);
  EXPECT_EQ(a % dbAllocationQuantum, 0u);
  EXPECT_EQ(b, a + 32);
  EXPECT_TRUE(db->all(a / 16, 4, true));
  EXPECT_FALSE(db->used(b / 16 + 2));
}

TEST_F(AllocatorTest, PageRequestStartsOnAPageBoundaryWithItsOwnCursor) {
  open();
  offs_t r = db->allocate(20);
  offs_t p = db->allocate(4096);
  EXPECT_EQ(p % 4096, 0u);
  EXPECT_GT(p, r);
  EXPECT_TRUE(db->all(p / 16, 256, true));
  // The record cursor stayed where the records end: the gap before the page is used first.
  offs_t r2 = db->allocate(20);
  EXPECT_EQ(r2, r + 32);
  offs_t p2 = db->allocate(8192);
  EXPECT_EQ(p2, p + 4096);
}

TEST_F(AllocatorTest, FreeingClearsTheBitsAcrossAByteBoundary) {
  open();
  offs_t region = db->allocate(64 * 16);
  nat8 q = region / 16 + 8;
  q += (6 + 8 - q % 8) % 8;  // bit 6 of its byte
  ASSERT_EQ(q % 8, 6u);
  db->deallocate(static_cast<offs_t>(q * 16), 48);
  EXPECT_EQ(db->bitmapByte(q), 0x3F);      // bits 6 and 7 cleared
  EXPECT_EQ(db->bitmapByte(q + 2), 0xFE);  // and bit 0 of the next byte
  EXPECT_EQ(db->bitmapByte(q - 8), 0xFF);
}

TEST_F(AllocatorTest, FreeingAtAnInvalidOffsetIsAConsistencyFailure) {
  open();
  EXPECT_EQ(errorOf([&] { db->deallocate(0, 16); }), NoError);
  EXPECT_EQ(errorOf([&] { db->deallocate(db->allocate(64) + 8, 16); }), NoError);
}

class AllocatorCarryTest : public AllocatorTest, public ::testing::WithParamInterface<nat8> {};

// Byte B holds 102 (bits 1, 2, 5 and 6 used); byte B - 1 has its `carried`
// high bits free, byte B + 1 is used. Three quanta fit at the end of B - 1
// and the start of B only with at least two carried quanta.
TEST_P(AllocatorCarryTest, ThreeQuantaAtByte102NeedTwoCarriedQuanta) {
  nat8 carried = GetParam();
  open();
  offs_t region = db->allocate(64 * 16);
  nat8 q = (region / 16 + 23) / 8 * 8;  // bit 0 of byte B, well inside the region
  db->deallocate(static_cast<offs_t>((q - carried) * 16), (carried + 1) * 16);
  db->deallocate(static_cast<offs_t>((q + 3) * 16), 32);
  db->deallocate(static_cast<offs_t>((q + 7) * 16), 16);
  ASSERT_EQ(db->bitmapByte(q), 102);
  ASSERT_EQ(db->bitmapByte(q + 8), 0xFF);

  offs_t pos = db->allocate(48);
  if (carried >= 2) {
    EXPECT_EQ(pos, (q - carried) * 16);
  } else {
    EXPECT_GE(pos, region + 64 * 16);
  }
}

INSTANTIATE_TEST_SUITE_P(Carried, AllocatorCarryTest, ::testing::Values(1u, 2u));

struct GrowthCase {
  nat4 extensionQuantum;
  nat4 size;
  nat4 newPages;
};

void PrintTo(const GrowthCase& c, std::ostream* os) {
  *os << "quantum " << c.extensionQuantum << ", size " << c.size << ", " << c.newPages << " new pages";
}

class AllocatorGrowthTest : public AllocatorTest, public ::testing::WithParamInterface<GrowthCase> {};

// The new area begins at the first missing bitmap page (4: the file has two),
// the object takes the free run at the end of the used area and the quanta
// after it, and the new bitmap pages follow it on the next page boundary.
TEST_P(AllocatorGrowthTest, GrowsAtTheFirstMissingBitmapPage) {
  const GrowthCase& c = GetParam();
  open(c.extensionQuantum);
  const nat8 areaQuantum = 2 * dbQuantaPerBitmapPage;
  nat8 carried = db->freeRunBefore(areaQuantum);
  ASSERT_GT(carried, 0u);
  nat8 n = c.size / 16;

  offs_t pos = db->allocate(c.size);
  EXPECT_EQ(pos, (areaQuantum - carried) * 16);
  nat8 rest = n - carried;
  offs_t pages = static_cast<offs_t>((areaQuantum + dbAlign<nat8>(rest, 256)) * 16);
  oid_t* index = db->getCurrentIndex();
  for (nat4 k = 0; k < c.newPages; k++) {
    EXPECT_EQ(index[4 + k], pages + 4096 * k + dbPageObjectMarker) << k;
    EXPECT_TRUE(db->getMonitor()->isDirty(4 + k));
  }
  EXPECT_TRUE(dbIsFreeEntry(index[4 + c.newPages]));
  EXPECT_TRUE(db->all(pos / 16, n, true));
  EXPECT_TRUE(db->all(pos / 16 + n, pages / 16 - (pos / 16 + n), false));
  EXPECT_TRUE(db->all(pages / 16, 256 * c.newPages, true));
  // Marking the carried quanta made bitmap page 3 private: its copy is the
  // first page request served after the growth.
  EXPECT_EQ(index[3], pages + 4096 * c.newPages + dbPageObjectMarker);
  EXPECT_FALSE(db->used(pages / 16 + 256 * (c.newPages + 1)));
  EXPECT_GE(db->getHeader()->fileSize, std::max<nat4>(2 * kFileSize, pages + 4096 * c.newPages));
  EXPECT_EQ(db->currRBitmapPage, 4 + rest / dbQuantaPerBitmapPage);
  memset(db->getBaseAddress() + pos, 0x5A, c.size);  // all of it is mapped

  // The next record follows the object; page requests start in the grown area too.
  EXPECT_EQ(db->allocate(32), pos + c.size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllocatorGrowthTest,
                         ::testing::Values(GrowthCase{kQuantum, 600000, 9},        // 4 MB in 9 pages
                                           GrowthCase{1048576, 600000, 3},         // max(quantum, size)
                                           GrowthCase{1048576, 3 * 1048576 + 16, 7},  // larger than the quantum
                                           GrowthCase{0xFFFFFFF0u, 600000, 2}));   // quantum beyond 4 GB: size alone

TEST_F(AllocatorTest, SpaceBeyondTheLastBitmapPageIsOutOfMemory) {
  open();
  EXPECT_EQ(errorOf([&] { db->allocate(size_t(5) << 30); }), OutOfMemory);
  offs_t a = db->allocate(20);
  EXPECT_TRUE(db->all(a / 16, 2, true));
}

TEST_F(AllocatorTest, HintsSkipPagesUntilSpaceThereIsFreed) {
  open();
  db->bitmapPageAvailableSpace[2] = dbUnknownFreeSpace;
  db->currRBitmapPage = dbBitmapId;
  db->currRBitmapOffs = 0;
  offs_t a = db->allocate(20);
  // Page 2 is full: scanning it whole proved that 2 quanta do not fit there.
  EXPECT_EQ(db->bitmapPageAvailableSpace[2], 2);
  EXPECT_EQ(db->bitmapPageAvailableSpace[3], dbUnknownFreeSpace);

  // Page 3 said to hold no free quantum is skipped: the area grows.
  db->bitmapPageAvailableSpace[3] = 1;
  db->currRBitmapPage = dbBitmapId;
  db->currRBitmapOffs = 0;
  offs_t b = db->allocate(20);
  EXPECT_GE(b, 2 * dbBytesPerBitmapPage);

  db->deallocate(a, 20);
  EXPECT_EQ(db->bitmapPageAvailableSpace[3], dbUnknownFreeSpace);
  EXPECT_EQ(db->allocate(20), a);
}

// A page request that finds no page boundary in a free run of 300 quanta
// must not mark the page as unable to serve a record of that size.
TEST_F(AllocatorTest, FailedPageRequestLeavesUnalignedSpaceToRecords) {
  open();
  const nat8 end = 2 * dbQuantaPerBitmapPage;
  nat8 rest = db->freeRunBefore(end);
  ASSERT_NE(rest % 256, 0u);  // a record request
  EXPECT_EQ(db->allocate(rest * 16), (end - rest) * 16);  // page 3 is full now
  nat8 hole = end - 256 * 20 + 10;
  db->deallocate(static_cast<offs_t>(hole * 16), 300 * 16);

  db->currPBitmapPage = dbBitmapId;
  db->currPBitmapOffs = 0;
  EXPECT_GE(db->allocate(4096), end * 16);
  EXPECT_EQ(db->allocate(300 * 16), hole * 16);
}

// A scan that enters a page with a run carried from the previous one proves
// only that the whole request does not fit inside the page: a shorter run
// there must still be found by a shorter request.
TEST_F(AllocatorTest, CarriedScanLeavesShorterRunsToShorterRequests) {
  open();
  db->allocate(600000);  // grows the used area: pages 4 to 12
  const nat8 page5 = 3 * dbQuantaPerBitmapPage, page6 = 4 * dbQuantaPerBitmapPage;
  nat8 tail = db->freeRunBefore(page5);
  ASSERT_GT(tail, 100u);
  nat8 fill = tail + dbQuantaPerBitmapPage + 1;  // to just past the end of page 5
  ASSERT_EQ(db->allocate(fill * 16), (page5 - tail) * 16);
  db->deallocate(static_cast<offs_t>((page5 - 100) * 16), 100 * 16);
  nat8 hole = page5 + 1000;
  db->deallocate(static_cast<offs_t>(hole * 16), 150 * 16);

  EXPECT_GE(db->allocate(200 * 16), page6 * 16);  // 100 carried into page 5 are not enough
  db->currRBitmapPage = dbBitmapId + 3;
  db->currRBitmapOffs = 0;
  EXPECT_EQ(db->allocate(150 * 16), hole * 16);
}

// A rolled-back growth leaves its bitmap pages in the file; growing again
// must not take their old bits for the new pages'.
TEST_F(AllocatorTest, GrowthAfterRollbackStartsFromCleanPages) {
  open();
  offs_t first = db->allocate(600000);  // pages 4 to 12
  nat4 grownSize = db->getHeader()->fileSize;
  byte* area = db->getBaseAddress() + 2 * dbBytesPerBitmapPage;
  memset(area, 0xFF, grownSize - 2 * dbBytesPerBitmapPage);  // the new pages included
  db->rollback();
  ASSERT_TRUE(db->beginTransaction(dbDatabase::dbExclusiveLock));
  ASSERT_TRUE(dbIsFreeEntry(db->getCurrentIndex()[4]));

  EXPECT_EQ(db->allocate(600000), first);
  // Pages 5 to 12 describe space that nothing uses yet.
  for (oid_t page = 5; page <= 12; page++) {
    const byte* map = db->get(page);
    EXPECT_TRUE(std::all_of(map, map + 4096, [](byte v) { return v == 0; })) << page;
  }
}

// The file cannot grow (the size limit of the process stands for a full
// disk): the error is reported, and the database stays as it was.
TEST_F(AllocatorTest, FailedGrowthOfTheFileKeepsTheOldSize) {
  open();
  offs_t a = db->allocate(20);
  int error;
  {
    FileLimit limit(kFileSize + kFileSize / 2);
    ASSERT_TRUE(limit.set);
    error = errorOf([&] { db->allocate(600000); });
  }

  EXPECT_EQ(error, FileError);
  EXPECT_EQ(db->getHeader()->fileSize, kFileSize);
  offs_t b = db->allocate(20);
  EXPECT_TRUE(db->all(a / 16, 2, true));
  EXPECT_TRUE(db->all(b / 16, 2, true));
  db->rollback();
  db->close();
  open();  // a clean file whose size matches its header
  EXPECT_EQ(db->getHeader()->fileSize, kFileSize);
}

// A concurrent-update writer holds only the writers' section; growing the
// file takes the exclusive lock too, and the commit releases both.
TEST_F(AllocatorTest, ConcurrentWriterTakesTheExclusiveLockToGrowTheFile) {
  db = std::make_unique<AllocDatabase>(dbDatabase::accessConcurrentUpdate, kFileSize, kQuantum, 65536, 1);
  ASSERT_TRUE(db->open(name.c_str(), file.c_str()));
  ASSERT_TRUE(db->beginTransaction(dbDatabase::dbExclusiveLock));
  dbDatabaseThreadContext* ctx = db->getThreadContext();
  ASSERT_TRUE(ctx->mutatorLocked);
  db->allocate(20);
  EXPECT_FALSE(ctx->writeAccess);
  offs_t pos = db->allocate(600000);
  EXPECT_TRUE(ctx->writeAccess);
  EXPECT_EQ(db->getMonitor()->writers, 1);
  EXPECT_GE(db->getHeader()->fileSize, pos + 600000);
  db->commit();
  EXPECT_FALSE(ctx->writeAccess || ctx->mutatorLocked);
  EXPECT_EQ(db->getMonitor()->writers, 0);
}

class AllocatorCursorTest : public AllocatorTest, public ::testing::WithParamInterface<nat4> {};

TEST_P(AllocatorCursorTest, FreeingMovesTheCursorBack) {
  open();
  nat4 size = GetParam();
  offs_t a = db->allocate(size);
  offs_t b = db->allocate(size);
  db->allocate(size);
  db->deallocate(b, size);
  db->deallocate(a, size);
  EXPECT_EQ(db->allocate(size), a);
  EXPECT_EQ(db->allocate(size), b);
}

INSTANTIATE_TEST_SUITE_P(Kinds, AllocatorCursorTest, ::testing::Values(32u, 4096u, 8192u));

TEST_F(AllocatorTest, CloneBitmapMakesEveryCoveringPagePrivate) {
  open();
  offs_t pos = db->allocate(600000);  // from page 3's area into page 4's
  db->commit();
  ASSERT_TRUE(db->beginTransaction(dbDatabase::dbExclusiveLock));
  ASSERT_TRUE(db->committed(3) && db->committed(4) && db->committed(5));
  const nat8 first = dbQuantaPerBitmapPage, count = 2 * dbQuantaPerBitmapPage;
  std::vector<bool> before;
  for (nat8 q = first; q < first + count; q++) before.push_back(db->used(q));

  db->cloneBitmap(pos, 600000);
  EXPECT_FALSE(db->committed(3));
  EXPECT_FALSE(db->committed(4));
  EXPECT_TRUE(db->committed(5));
  // No bit changed but those of the two page copies themselves.
  auto inCopy = [&](nat8 q) {
    for (oid_t page : {3, 4}) {
      nat8 start = (db->getCurrentIndex()[page] & ~dbFlagsMask) / 16;
      if (q >= start && q < start + 256) return true;
    }
    return false;
  };
  for (nat8 q = first; q < first + count; q++) {
    ASSERT_TRUE(db->used(q) == before[q - first] || (!before[q - first] && inCopy(q))) << q;
  }
}

// One transaction grows a 1 MB file past 64 MB; after the commit and a
// reopen every object reads back, and new space does not meet any of them.
TEST_F(AllocatorTest, FileGrownInOneTransactionSurvivesReopen) {
  open();
  std::vector<std::pair<oid_t, nat4>> records;
  for (int i = 0; i < 3000; i++) {
    nat4 size = i % 50 == 0 ? 1048576 + 40 * i : 24 + (i * 37) % 2000;
    records.push_back({storeRecord(size), size});
  }
  std::vector<oid_t> pages;
  for (int i = 0; i < 200; i++) {
    oid_t oid = db->allocateObject(dbPageObjectMarker);
    memset(db->get(oid), i, 4096);
    pages.push_back(oid);
  }
  ASSERT_GE(db->getHeader()->fileSize, 64u * 1048576);
  db->commit();
  db->close();

  open();
  EXPECT_GE(db->getHeader()->fileSize, 64u * 1048576);
  std::vector<std::pair<offs_t, nat4>> spans;
  for (auto [oid, size] : records) {
    ASSERT_TRUE(recordIntact(oid, size)) << oid;
    spans.push_back({db->getCurrentIndex()[oid], size});
  }
  for (size_t i = 0; i < pages.size(); i++) {
    const byte* page = db->get(pages[i]);
    ASSERT_EQ(db->getCurrentIndex()[pages[i]] % 4096, dbPageObjectMarker);
    ASSERT_TRUE(std::all_of(page, page + 4096, [&](byte v) { return v == static_cast<byte>(i); })) << i;
    spans.push_back({db->getCurrentIndex()[pages[i]] & ~dbFlagsMask, 4096});
  }
  for (int i = 0; i < 500; i++) {
    nat4 size = i % 3 ? 48 : 4096;
    spans.push_back({db->allocate(size), size});
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++) {
    ASSERT_LE(nat8(spans[i - 1].first) + spans[i - 1].second, spans[i].first) << i;
  }
}

}  // namespace
