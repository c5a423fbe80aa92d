#include "wrapper/ardon_database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(ArdonDatabaseTest, OpensNameDotRvdInTheWorkingFolder) {
  TempDir dir;
  std::string name = uniqueName("Torvik");
  ardonDatabase db(dbDatabase::accessReadWrite, 1048576, 4194304, 65536, 1);
  EXPECT_TRUE(db.workingFolder().empty());
  ASSERT_TRUE(db.open(name.c_str()));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(db.workingFolder(), cwd);
  EXPECT_EQ(db.getDatabaseName(), name);
  struct stat st;
  EXPECT_EQ(stat((name + ".rvd").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1048576);
  db.close();

  // The folder is taken once: a later open elsewhere keeps it.
  TempDir other;
  ASSERT_TRUE(db.open(name.c_str()));
  EXPECT_EQ(db.workingFolder(), cwd);
  db.close();
}

TEST(ArdonDatabaseTest, LocalFileSystemsAreSuitable) {
  TempDir dir;
  EXPECT_TRUE(isSuitableFileSystem(dir.path().c_str()));
  EXPECT_TRUE(isSuitableFileSystem("/dev/shm"));
  EXPECT_FALSE(isSuitableFileSystem("/no/such/folder"));
}

}  // namespace
