// Opening a truncated, zero-filled, bit-flipped or random file never crashes
// or hangs: it is refused with a message, fails an internal consistency
// check, or opens; and the integrity checker survives the same files. Each
// file is tried in a child process, so that a crash shows in its status.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/file_header.h"
#include "engine/table_record.h"
#include "tests/engine/helpers/sample_database.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

struct Mutation {
  std::string what;
  std::vector<byte> bytes;
};

class BadFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<byte> sound;
  std::mt19937 rng{20261211};

  void SetUp() override {
    std::string file = dir.file("sound.rvd");
    ASSERT_TRUE(sample::build(uniqueName("sound").c_str(), file.c_str(), 300));
    std::ifstream in(file, std::ios::binary);
    sound.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ASSERT_GT(sound.size(), 65536u);
  }

  nat8 below(nat8 n) { return std::uniform_int_distribution<nat8>(0, n - 1)(rng); }

  // Flips count random bits within [from, to).
  Mutation flips(const std::string& where, nat8 from, nat8 to, int count) {
    Mutation m{std::to_string(count) + " bits flipped in " + where, sound};
    for (int i = 0; i < count; i++) m.bytes[from + below(to - from)] ^= byte(1u << below(8));
    return m;
  }

  std::vector<Mutation> mutations() {
    std::vector<Mutation> all;
    for (size_t size : {size_t(0), size_t(1), size_t(71), size_t(72), size_t(4095), size_t(4096), size_t(8192),
                        sound.size() / 2, sound.size() - 1}) {
      all.push_back({"truncated to " + std::to_string(size), {sound.begin(), sound.begin() + size}});
    }
    all.push_back({"zero-filled", std::vector<byte>(sound.size(), 0)});
    for (int i = 0; i < 4; i++) {
      Mutation m{"a zeroed page", sound};
      std::fill_n(m.bytes.begin() + below(sound.size() / dbPageSize) * dbPageSize, dbPageSize, 0);
      all.push_back(m);
    }
    const dbFileHeader* h = reinterpret_cast<const dbFileHeader*>(sound.data());
    const dbFileHeader::Root& root = h->root[h->currentRoot];
    nat8 entries = root.indexOffset, entriesEnd = entries + nat8(root.indexUsed) * 4;
    nat8 objects = nat8(root.indexOffset > root.shadowIndexOffset ? root.indexOffset : root.shadowIndexOffset) + nat8(root.indexSize) * 4;
    nat8 objectsEnd = sound.size();
    while (objectsEnd > objects && sound[objectsEnd - 1] == 0) objectsEnd--;
    for (int i = 0; i < 15; i++) all.push_back(flips("the header", 0, sizeof(dbFileHeader), 1 + i % 4));
    for (int i = 0; i < 30; i++) all.push_back(flips("the object index", entries, entriesEnd, 1 + i % 8));
    for (int i = 0; i < 30; i++) all.push_back(flips("the objects", objects, objectsEnd, 1 + i % 16));
    for (int i = 0; i < 10; i++) {
      Mutation m{"random bytes", std::vector<byte>(1 + below(200000))};
      for (byte& b : m.bytes) b = byte(below(256));
      all.push_back(m);
    }
    for (int i = 0; i < 5; i++) {
      Mutation m{"random bytes behind the header", sound};
      for (size_t k = sizeof(dbFileHeader); k < m.bytes.size(); k++) m.bytes[k] = byte(below(256));
      all.push_back(m);
    }
    return all;
  }
};

TEST_F(BadFileTest, DamagedFilesAreRefusedOrOpenWithoutACrash) {
  int refused = 0, opened = 0;
  std::string name = uniqueName("bad");  // the children run one after another
  for (const Mutation& m : mutations()) {
    SCOPED_TRACE(m.what);
    std::string file = dir.file("bad.rvd");
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(m.bytes.data()), static_cast<std::streamsize>(m.bytes.size()));
    ChildProcess child("open_damaged", {name, file});
    std::string checked = child.readLine(), outcome = child.readLine();
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << " after " << checked;
    EXPECT_EQ(checked.rfind("checked ", 0), 0u);
    if (outcome.rfind("refused ", 0) == 0) {
      EXPECT_GT(outcome.size(), std::string("refused ").size()) << "refused without a message";
      refused++;
    } else if (outcome == "opened") {
      opened++;
    } else {
      // Only an internal consistency failure may escape an open.
      EXPECT_EQ(outcome.rfind("exception 0", 0), 0u) << outcome;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(opened, 0);
}

// A table record whose texts lie outside it is refused before the schema
// is matched against it (the matching used to read the texts wherever they
// pointed).
TEST_F(BadFileTest, TableRecordWithTextsOutsideIsRefused) {
  const dbFileHeader* h = reinterpret_cast<const dbFileHeader*>(sound.data());
  const oid_t* index = reinterpret_cast<const oid_t*>(sound.data() + h->root[h->currentRoot].indexOffset);
  std::vector<byte> damaged = sound;
  byte* meta = damaged.data() + index[dbMetaTableId];
  byte* item = damaged.data() + index[reinterpret_cast<dbTable*>(meta)->firstRow];
  std::string file = dir.file("texts.rvd");
  for (const char* part : {"table name", "field name"}) {
    SCOPED_TRACE(part);
    std::vector<byte> copy = damaged;
    nat4& offs = part[0] == 't' ? reinterpret_cast<dbTable*>(copy.data() + (item - damaged.data()))->name.offs
                                : dbFieldsOf(copy.data() + (item - damaged.data()))->name.offs;
    offs = 1u << 30;
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(copy.data()), static_cast<std::streamsize>(copy.size()));
    ChildProcess child("open_damaged", {uniqueName("texts"), file});
    std::string checked = child.readLine(), outcome = child.readLine();
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_NE(checked, "checked 0");
    EXPECT_EQ(outcome, "refused Database file was corrupted: invalid table record");
  }
}

// The entry of the field called name in a table record that has one.
dbField* fieldOf(byte* table, const char* name) {
  dbField* f = dbFieldsOf(table);
  while (strcmp(f->getName(), name) != 0) f++;
  return f;
}

// A table record that differs from the declaration makes the open convert
// the rows; a row that does not fit the layout the table record gives it is
// refused instead of read outside the record.
TEST_F(BadFileTest, RowsOutsideTheirStoredLayoutAreRefusedAtConversion) {
  struct Case {
    const char* what;
    void (*damage)(byte* image, byte* table, const oid_t* index);
  };
  const Case cases[] = {
      {"a slot far outside every record",
       [](byte*, byte* table, const oid_t*) { fieldOf(table, "plain")->offset = 1u << 20; }},
      {"a text outside its record",
       [](byte* image, byte* table, const oid_t* index) {
         fieldOf(table, "plain")->type = tpInt2;  // a conversion the declaration allows
         byte* row = image + index[dbTableOf(table)->firstRow];
         nat4 outside = 1u << 30;
         memcpy(row + fieldOf(table, "name")->offset + 4, &outside, 4);
       }},
  };
  const dbFileHeader* h = reinterpret_cast<const dbFileHeader*>(sound.data());
  std::string file = dir.file("rows.rvd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<byte> copy = sound;
    const oid_t* index = reinterpret_cast<const oid_t*>(copy.data() + h->root[h->currentRoot].indexOffset);
    byte* table = copy.data() + index[dbTableOf(copy.data() + index[dbMetaTableId])->firstRow];
    c.damage(copy.data(), table, index);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(copy.data()), static_cast<std::streamsize>(copy.size()));
    ChildProcess child("open_damaged", {uniqueName("rows"), file});
    child.readLine();  // the checker's count
    std::string outcome = child.readLine();
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(outcome, "refused Database file was corrupted: invalid record");
  }
}

// A refused open of the only user leaves no monitor block behind, so that
// refused names do not pile up in shared memory.
TEST_F(BadFileTest, RefusedOpenLeavesNoMonitorBlock) {
  std::string file = dir.file("short.rvd");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(sound.data()), 100);
  std::string name = uniqueName("refused");
  dbDatabase db;
  EXPECT_FALSE(db.open(name.c_str(), file.c_str()));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + name + ".dm"));
}

}  // namespace
