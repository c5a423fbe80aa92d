// Copy-on-write access, identifier reuse, commit and rollback through the
// raw object interface of the database.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "engine/database.h"
#include "tests/support/raw_record.h"
#include "tests/support/temp_dir.h"

namespace {

class TransactionTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("tx");
  std::string file = dir.file("tx.rvd");
  dbDatabase db;

  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), file.c_str())); }
  void TearDown() override {
    if (db.isOpen()) db.close();
  }

  // A new record of `size` bytes whose first payload word is `value`.
  oid_t newRecord(nat4 size, nat4 value) {
    oid_t oid = newRawRecord(db, size);
    setValue(db.getRow(oid), value);
    return oid;
  }
  nat4 valueOf(oid_t oid) {
    nat4 v;
    memcpy(&v, db.getRow(oid) + sizeof(dbRecord), 4);
    return v;
  }
  void setValue(byte* rec, nat4 value) { memcpy(rec + sizeof(dbRecord), &value, 4); }
  std::string fileBytes() {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(TransactionTest, FreedIdentifiersAreReusedLastFreedFirst) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t first = db.allocateId(9002 - dbFirstUserId);
  EXPECT_EQ(first, dbFirstUserId);
  db.freeId(9000);
  db.freeId(9001);
  EXPECT_EQ(db.allocateId(), 9001u);
  EXPECT_EQ(db.allocateId(), 9000u);
  EXPECT_EQ(db.allocateId(), 9002u);
  db.rollback();
}

TEST_F(TransactionTest, CommittedRecordMovesOncePerTransaction) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t oid = newRecord(32, 1);
  db.commit();

  db.beginTransaction(dbDatabase::dbExclusiveLock);
  byte* committed = db.getRow(oid);
  byte* first = db.putRow(oid);
  EXPECT_NE(first, committed);  // shared with the committed state: copied
  EXPECT_FALSE(db.isCommitted(oid));
  EXPECT_EQ(db.putRow(oid), first);
  EXPECT_EQ(db.putRow(oid, 32), first);  // same size: in place
  setValue(first, 2);
  byte* grown = db.putRow(oid, 64);
  EXPECT_NE(grown, first);
  EXPECT_EQ(reinterpret_cast<dbRecord*>(grown)->size, 64u);
  setValue(grown, 3);
  db.commit();

  db.beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_EQ(valueOf(oid), 3u);
  db.commit();
}

TEST_F(TransactionTest, CommitWithoutChangeWritesNothing) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  newRecord(32, 1);
  db.commit();
  std::string before = fileBytes();
  int4 transaction = db.getMonitor()->transactionId;
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  db.commit();
  EXPECT_EQ(db.getMonitor()->transactionId, transaction);
  EXPECT_EQ(db.getMonitor()->writers, 0);
  EXPECT_EQ(fileBytes(), before);
}

TEST_F(TransactionTest, RollbackRestoresTheWorkingIndex) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t kept = newRecord(32, 1);
  db.commit();

  db.beginTransaction(dbDatabase::dbExclusiveLock);
  setValue(db.putRow(kept), 2);
  oid_t added = newRecord(32, 5);
  db.freeId(kept);
  db.rollback();

  db.beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_EQ(valueOf(kept), 1u);
  EXPECT_EQ(db.getCurrentIndexSize(), added);  // the new identifier is gone again
  db.commit();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  EXPECT_EQ(db.allocateId(), added);
  db.rollback();
}

TEST_F(TransactionTest, CommitsSurviveReopen) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t a = newRecord(48, 11);
  oid_t b = newRecord(4096, 22);  // a page-sized record
  db.commit();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  setValue(db.putRow(a), 12);
  db.commit();
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  setValue(db.putRow(b), 23);
  db.detach(0);  // left uncommitted: the next commit, here close's, stores it
  db.close();

  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_EQ(valueOf(a), 12u);
  EXPECT_EQ(valueOf(b), 23u);
  db.commit();
}

TEST_F(TransactionTest, ReadingAFreeOrNonRecordEntryFailsTheInternalCheck) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t object = db.allocateObject(dbHashTableItemMarker);
  oid_t freed = newRecord(32, 1);
  db.freeId(freed);
  for (oid_t oid : {object, freed, static_cast<oid_t>(0), static_cast<oid_t>(4000000000u)}) {
    SCOPED_TRACE(oid);
    try {
      db.getRow(oid);
      ADD_FAILURE() << "no exception";
    } catch (const dbException& e) {
      EXPECT_EQ(e.getErrCode(), 0);
      EXPECT_EQ(e.getMsg(), nullptr);
    }
  }
  EXPECT_NO_THROW(db.get(object));
  EXPECT_THROW(db.get(freed), dbException);
  db.rollback();
}

}  // namespace
