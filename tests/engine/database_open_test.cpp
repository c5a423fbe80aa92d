// Opening, creating and refusing database files, and the user count shared
// by processes.
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

#include "engine/database.h"
#include "tests/support/child_process.h"
#include "tests/support/error_capture.h"
#include "tests/support/temp_dir.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
}

nat4 word(const std::string& bytes, size_t offset) {
  nat4 w;
  memcpy(&w, bytes.data() + offset, 4);
  return w;
}

void setWord(std::string& bytes, size_t offset, nat4 value) { memcpy(bytes.data() + offset, &value, 4); }

class DatabaseOpenTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("open");
  std::string file = dir.file("test.rvd");

  // Creates a database file with the program's geometry and closes it.
  std::string makeFile() {
    dbDatabase db(dbDatabase::accessReadWrite, 1048576, 4194304, 65536, 1);
    EXPECT_TRUE(db.open(name.c_str(), file.c_str()));
    db.close();
    return readFile(file);
  }
};

TEST_F(DatabaseOpenTest, NewFileHasTheDocumentedLayout) {
  std::string f = makeFile();
  ASSERT_EQ(f.size(), 1048576u);
  EXPECT_EQ(word(f, 0), 1048576u);  // fileSize
  EXPECT_EQ(word(f, 8), 0u);        // clean after close
  EXPECT_EQ(word(f, 12), 1u);       // initialized
  EXPECT_EQ(word(f, 64), 2u);
  EXPECT_EQ(word(f, 68), 86u);
  nat4 c = word(f, 4);
  ASSERT_LE(c, 1u);
  for (int r = 0; r < 2; r++) {
    size_t root = 16 + 24 * r;
    EXPECT_EQ(word(f, root + 0), 4096u + r * 65536 * 4);
    EXPECT_EQ(word(f, root + 4), 4096u + (1 - r) * 65536 * 4);
    EXPECT_EQ(word(f, root + 8), 65536u);
    EXPECT_EQ(word(f, root + 12), 65536u);
    EXPECT_EQ(word(f, root + 16), 8194u);
    EXPECT_EQ(word(f, root + 20), 0u);
  }
  size_t committed = word(f, 16 + 24 * c);
  const nat4 bitmapStart = 4096 + 2 * 65536 * 4;
  EXPECT_EQ(word(f, committed + 0), 0x80000000u);               // identifier 0 is never used
  EXPECT_EQ(word(f, committed + 8), bitmapStart + 1);           // bitmap page 2
  EXPECT_EQ(word(f, committed + 12), bitmapStart + 4096 + 1);   // bitmap page 3
  EXPECT_EQ(word(f, committed + 16), 0x80000000u);              // no further bitmap page
  EXPECT_EQ(word(f, committed + 4 * 8193), 0x80000000u);
  for (size_t i = 0; i < 4192; i++) ASSERT_EQ(static_cast<byte>(f[bitmapStart + i]), 0xFF) << i;
  // The metatable is the first object after the bitmap pages.
  EXPECT_EQ(word(f, committed + 4), bitmapStart + 2 * 4096);
}

TEST_F(DatabaseOpenTest, IndexSizeIsAtLeast8194RoundedTo1024) {
  dbDatabase db(dbDatabase::accessReadWrite, 0, 4194304, 0, 1);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(db.getHeader()->root[0].indexSize, 9216u);
  EXPECT_EQ(db.getHeader()->fileSize, 1048576u);
  db.close();
}

TEST_F(DatabaseOpenTest, ReopenKeepsTheFileAndItsContents) {
  std::string before = makeFile();
  std::string after = makeFile();
  EXPECT_EQ(before, after);  // an open without changes writes nothing
}

struct Refusal {
  const char* what;
  nat1 mode;
  void (*damage)(std::string& file);  // null: an empty file
  const char* message;
};

const Refusal refusals[] = {
    {"root index 2", dbDatabase::accessReadWrite, [](std::string& f) { setWord(f, 4, 2); },
     "Database file was corrupted: invalid root index"},
    {"clean file with another length", dbDatabase::accessReadWrite, [](std::string& f) { f.append(16, '\0'); },
     "Database file was corrupted: file size in header differs from actual file size"},
    {"empty file read only", dbDatabase::accessReadOnly, nullptr, "Can not open uninitialized file in read only mode"},
    {"uninitialised file concurrent read", dbDatabase::accessConcurrentRead, [](std::string& f) { setWord(f, 12, 0); },
     "Can not open uninitialized file in read only mode"},
    {"dirty file read only", dbDatabase::accessReadOnly, [](std::string& f) { setWord(f, 8, 1); },
     "Can not open dirty file in read only moode"},
    {"dirty file concurrent read", dbDatabase::accessConcurrentRead, [](std::string& f) { setWord(f, 8, 1); },
     "Can not open dirty file in read only moode"},
    {"index outside the file", dbDatabase::accessReadWrite, [](std::string& f) { setWord(f, 16, 0x7FFFFFF0); },
     "Database file was corrupted: invalid object index"},
    {"truncated to 10 bytes", dbDatabase::accessReadWrite, [](std::string& f) { f.resize(10); },
     "Database file was corrupted: file is shorter than its header"},
    {"garbage", dbDatabase::accessReadWrite,
     [](std::string& f) {
       std::mt19937 random(7);
       for (char& ch : f) ch = static_cast<char>(random());
       setWord(f, 4, 0);  // past the root check, into the header validation
     },
     "Database file was corrupted: not a database file"},
    {"uninitialised file that is not ours", dbDatabase::accessReadWrite,
     [](std::string& f) {
       setWord(f, 12, 0);
       setWord(f, 64, 7);
     },
     "Database file was corrupted: not a database file"},
};

TEST_F(DatabaseOpenTest, DamagedOrUnsuitableFilesAreRefusedAndLeftUnchanged) {
  std::string good = makeFile();
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    std::string bytes = r.damage ? good : std::string();
    if (r.damage) r.damage(bytes);
    writeFile(file, bytes);
    RecordingDatabase db(r.mode);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db.open(name.c_str(), file.c_str()));
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(db.lastMessage(), r.message);
    EXPECT_EQ(printed, std::string(r.message) + "\n");
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(readFile(file), bytes);
  }
}

TEST_F(DatabaseOpenTest, DirtyFileOfAnotherLengthIsRecovered) {
  std::string bytes = makeFile();
  setWord(bytes, 8, 1);
  bytes.append(dbPageSize, '\0');
  writeFile(file, bytes);
  dbDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(db.getHeader()->fileSize, bytes.size());
  db.close();
}

TEST_F(DatabaseOpenTest, MissingFileInReadOnlyModeIsRefused) {
  RecordingDatabase db(dbDatabase::accessReadOnly);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(db.open(name.c_str(), file.c_str()));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(db.lastMessage(), "Failed to create database file");
  struct stat st;
  EXPECT_NE(stat(file.c_str(), &st), 0);
}

TEST_F(DatabaseOpenTest, UsersAreCountedAcrossProcesses) {
  makeFile();
  {
    ChildProcess first("open_hold", {name, file});
    ASSERT_EQ(first.readLine(), "open 1");
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    EXPECT_EQ(db.getUserCount(), 2);
    first.writeLine("close");
    EXPECT_EQ(first.readLine(), "closed");
    first.wait();
    EXPECT_EQ(db.getUserCount(), 1);
    db.close();
  }
  {
    ChildProcess killed("open_hold", {name, file});
    ASSERT_EQ(killed.readLine(), "open 1");
    killed.kill(SIGKILL);
    killed.wait();
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    EXPECT_EQ(db.getUserCount(), 1);
    db.close();
  }
}

}  // namespace
