// The integrity checker finds a sound database clean and reports each kind
// of damage made to a copy of its file.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>

#include "engine/file_header.h"
#include "engine/hash_table.h"
#include "engine/integrity_check.h"
#include "engine/table_record.h"
#include "engine/ttree.h"
#include "tests/engine/helpers/sample_database.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRows = 400;
constexpr int kRowsLeft = kRows - 57;  // every seventh removed

// A file image read through its committed root.
struct Image {
  std::vector<byte> bytes;

  dbFileHeader& header() { return *reinterpret_cast<dbFileHeader*>(bytes.data()); }
  dbFileHeader::Root& root() { return header().root[header().currentRoot]; }
  nat4& entry(oid_t oid) { return reinterpret_cast<nat4*>(bytes.data() + root().indexOffset)[oid]; }
  byte* at(oid_t oid) { return bytes.data() + (entry(oid) & ~dbFlagsMask); }
  template <typename T>
  T& as(oid_t oid) {
    return *reinterpret_cast<T*>(at(oid));
  }
  oid_t itemTable() { return as<dbTable>(dbMetaTableId).firstRow; }
  dbField& field(const char* name) {
    dbField* f = dbFieldsOf(at(itemTable()));
    while (strcmp(f->getName(), name) != 0) f++;
    return *f;
  }
  dbTtreeNode& treeRoot(const char* name) { return as<dbTtreeNode>(as<dbTtreeHeader>(field(name).tTree).root); }
  oid_t& bucket(const dbHashTableHeader& h, nat4 b) {
    return reinterpret_cast<oid_t*>(at(h.page + b / dbHandlesPerPage))[b % dbHandlesPerPage];
  }
  // Quantum q's bit in the bitmaps.
  byte& bitmapByte(nat8 q) { return at(static_cast<oid_t>(dbBitmapId + q / dbQuantaPerBitmapPage))[q % dbQuantaPerBitmapPage / 8]; }
};

class IntegrityCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    file = dir->file("sound.rvd");
    ASSERT_TRUE(sample::build(uniqueName("check").c_str(), file.c_str(), kRows));
    std::ifstream in(file, std::ios::binary);
    sound.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void TearDownTestSuite() { delete dir; }

  static dbIntegrityReport check(Image& image) { return dbCheckImage(image.bytes.data(), image.bytes.size()); }

  static TempDir* dir;
  static std::string file;
  static Image sound;
};
TempDir* IntegrityCheckTest::dir = nullptr;
std::string IntegrityCheckTest::file;
Image IntegrityCheckTest::sound;

TEST_F(IntegrityCheckTest, SoundDatabaseChecksClean) {
  dbIntegrityReport report = dbCheckFile(file.c_str());
  EXPECT_TRUE(report.clean()) << report.summary();
  EXPECT_EQ(report.leakedBytes, 0u);
  EXPECT_EQ(report.tables, 1u);
  EXPECT_EQ(report.rows, nat8(kRowsLeft));
  EXPECT_GT(report.objects, nat4(kRowsLeft));
}

TEST_F(IntegrityCheckTest, UnreadableOrTinyFilesAreHeaderDamage) {
  EXPECT_TRUE(dbCheckFile(dir->file("missing.rvd").c_str()).has(dbDamage::header));
  EXPECT_TRUE(dbCheckFile(dir->path().c_str()).has(dbDamage::header));
  std::vector<byte> tiny(100, 0);
  EXPECT_TRUE(dbCheckImage(tiny.data(), tiny.size()).has(dbDamage::header));
}

struct Damage {
  const char* what;
  dbDamage kind;
  std::function<void(Image&)> apply;
};

const Damage kDamages[] = {
    {"an entry off the 16-byte grid", dbDamage::entry, [](Image& m) { m.entry(m.as<dbTable>(m.itemTable()).firstRow) += 8; }},
    {"an entry past the end of the file", dbDamage::entry,
     [](Image& m) { m.entry(m.as<dbTable>(m.itemTable()).lastRow) = static_cast<nat4>(m.bytes.size()); }},
    {"an object overlapping another", dbDamage::overlap,
     [](Image& m) {
       oid_t first = m.as<dbTable>(m.itemTable()).firstRow;
       m.entry(m.as<dbRecord>(first).next) = m.entry(first);
     }},
    {"leaked bits", dbDamage::leaked,
     [](Image& m) {
       nat8 q = m.bytes.size() / dbAllocationQuantum - 1;  // the file's last quantum is never used here
       m.bitmapByte(q) |= byte(1u << (q % 8));
     }},
    {"an object's space marked free", dbDamage::unmarked,
     [](Image& m) {
       nat8 q = (m.entry(m.itemTable()) & ~dbFlagsMask) / dbAllocationQuantum;
       m.bitmapByte(q) &= byte(~(1u << (q % 8)));
     }},
    {"a broken prev link", dbDamage::rowList,
     [](Image& m) { m.as<dbRecord>(m.as<dbRecord>(m.as<dbTable>(m.itemTable()).firstRow).next).prev = 0; }},
    {"a row list in a cycle", dbDamage::rowList,
     [](Image& m) {
       dbTable& t = m.as<dbTable>(m.itemTable());
       m.as<dbRecord>(t.lastRow).next = t.firstRow;
     }},
    {"a wrong nRows", dbDamage::rowList, [](Image& m) { m.as<dbTable>(m.itemTable()).nRows += 1; }},
    {"a table name outside its record", dbDamage::table, [](Image& m) { m.as<dbTable>(m.itemTable()).name.offs = 1u << 20; }},
    {"a T-tree out of order", dbDamage::ttree,
     [](Image& m) {
       dbTtreeNode& node = m.treeRoot("n");
       std::swap(node.item[0], node.item[node.nItems - 1]);
     }},
    {"a row missing from a T-tree", dbDamage::ttree, [](Image& m) { m.treeRoot("name").nItems -= 1; }},
    {"an unbalanced T-tree", dbDamage::ttree, [](Image& m) { m.treeRoot("n").balance = 2; }},
    {"a hash item in the wrong bucket", dbDamage::hash,
     [](Image& m) {
       dbHashTableHeader& h = m.as<dbHashTableHeader>(m.field("w").hashTable);
       nat4 b = 0;
       while (m.bucket(h, b) == 0) b++;
       oid_t item = m.bucket(h, b);
       m.bucket(h, b) = m.as<dbHashTableItem>(item).next;
       m.as<dbHashTableItem>(item).next = m.bucket(h, b + 1);
       m.bucket(h, b + 1) = item;
     }},
    {"a row missing from a hash", dbDamage::hash,
     [](Image& m) {
       dbHashTableHeader& h = m.as<dbHashTableHeader>(m.field("name").hashTable);
       nat4 b = 0;
       while (m.bucket(h, b) == 0) b++;
       m.bucket(h, b) = m.as<dbHashTableItem>(m.bucket(h, b)).next;
     }},
    {"a free-list cycle", dbDamage::freeList,
     [](Image& m) {
       oid_t head = m.root().freeIdList;
       m.entry(m.entry(head) & ~dbFreeHandleMarker) = dbFreeHandleMarker | head;
     }},
    {"a free list through a used object", dbDamage::freeList,
     [](Image& m) { m.entry(m.root().freeIdList) = dbFreeHandleMarker | m.itemTable(); }},
};

TEST_F(IntegrityCheckTest, EachDamageIsReported) {
  ASSERT_NE(sound.root().freeIdList, 0u);
  ASSERT_NE(sound.entry(sound.root().freeIdList) & ~dbFreeHandleMarker, 0u);  // the list has two entries at least
  for (const Damage& d : kDamages) {
    SCOPED_TRACE(d.what);
    Image damaged = sound;
    d.apply(damaged);
    dbIntegrityReport report = check(damaged);
    EXPECT_TRUE(report.has(d.kind)) << report.summary();
  }
}

TEST_F(IntegrityCheckTest, LeakedSpaceIsCountedInBytes) {
  Image damaged = sound;
  for (nat8 q = damaged.bytes.size() / dbAllocationQuantum - 3; q < damaged.bytes.size() / dbAllocationQuantum; q++) {
    damaged.bitmapByte(q) |= byte(1u << (q % 8));
  }
  dbIntegrityReport report = check(damaged);
  EXPECT_EQ(report.leakedBytes, 3u * dbAllocationQuantum) << report.summary();
  EXPECT_EQ(report.issueCount, 1u) << report.summary();
}

TEST_F(IntegrityCheckTest, ProgramExitsNonZeroOnDamage) {
  auto run = [](const std::string& args) {
    int status = std::system((std::string(TORVIK_CHECK_PROGRAM) + " " + args + " > /dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run(file), 0);
  Image damaged = sound;
  damaged.as<dbTable>(damaged.itemTable()).nRows += 1;
  std::string bad = dir->file("damaged.rvd");
  std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char*>(damaged.bytes.data()),
                                             static_cast<std::streamsize>(damaged.bytes.size()));
  EXPECT_EQ(run(bad), 1);
  EXPECT_EQ(run(""), 2);
}

// The one change made in place, a last row's next, is damage only in a
// file that was closed cleanly.
TEST_F(IntegrityCheckTest, LastRowLinkCountsOnlyInACleanFile) {
  Image damaged = sound;
  damaged.as<dbRecord>(damaged.as<dbTable>(damaged.itemTable()).lastRow).next = damaged.root().indexUsed - 1;
  EXPECT_TRUE(check(damaged).has(dbDamage::rowList));
  damaged.header().dirty = 1;
  dbIntegrityReport report = check(damaged);
  EXPECT_TRUE(report.clean()) << report.summary();
}

}  // namespace
