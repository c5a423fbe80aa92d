// The stored table definitions: their bytes, and what happens when a
// declaration changes between opens.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "engine/query/cursor.h"
#include "engine/table_record.h"
#include "tests/engine/helpers/evo_tables.h"
#include "tests/support/child_process.h"
#include "tests/support/error_capture.h"
#include "tests/support/temp_dir.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SchemaTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = uniqueName("schema");
  std::string file = dir.file("schema.rvd");

  // The table record named table, copied out of an open database.
  static std::string tableRecord(dbDatabase& db, const char* table) {
    db.beginTransaction(dbDatabase::dbSharedLock);
    dbTable* meta = dbTableOf(db.getRow(dbMetaTableId));
    std::string found;
    for (oid_t row = meta->firstRow; row != 0; row = reinterpret_cast<dbRecord*>(db.getRow(row))->next) {
      byte* rec = db.getRow(row);
      if (strcmp(dbTableName(rec), table) == 0) found.assign(reinterpret_cast<char*>(rec), dbTableOf(rec)->size);
    }
    db.commit();
    return found;
  }

  static void insertV1(dbDatabase& db, dbTableDescriptor* table, const char* a, int4 b) {
    EvoV1 row{a, b, 99};
    db.insertRecord(table, &row);
  }

  // Stores rows of the first version of "Evo" and forgets that declaration.
  void storeV1Rows(std::initializer_list<std::pair<const char*, int4>> rows) {
    dbTableDescriptor* v1 = newEvoV1();
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    for (auto [a, b] : rows) insertV1(db, v1, a, b);
    db.close();
    delete v1;
  }

  // Opening under the declaration `table` fails the internal consistency check.
  void expectOpenRefused(dbTableDescriptor* table, bool allowColumnRemoval) {
    dbDatabase db;
    db.allowColumnRemoval = allowColumnRemoval;
    try {
      db.open(name.c_str(), file.c_str());
      ADD_FAILURE() << "opened";
    } catch (const dbException& e) {
      EXPECT_EQ(e.getErrCode(), 0);
    }
    delete table;
  }
};

TEST_F(SchemaTest, MetatableIsStoredAsDescribed) {
  dbDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginTransaction(dbDatabase::dbSharedLock);
  byte* rec = db.getRow(dbMetaTableId);
  dbTable* meta = dbTableOf(rec);
  EXPECT_STREQ(dbTableName(rec), "Metatable");
  EXPECT_EQ(meta->name.offs, 752u);
  EXPECT_EQ(meta->name.size, 10u);
  EXPECT_EQ(meta->fields.size, 16u);
  EXPECT_EQ(meta->fields.offs, 48u);
  EXPECT_EQ(meta->fixedSize, 48u);
  EXPECT_EQ(meta->nColumns, 5u);
  const char* paths[] = {"name", "fields", "fields[]", "fields[].name", "fields[].tableName", "fields[].inverse",
                         "fields[].type", "fields[].offset", "fields[].size", "fields[].hashTable", "fields[].tTree",
                         "fixedSize", "nRows", "nColumns", "firstRow", "lastRow"};
  const nat4 types[] = {7, 9, 19, 7, 7, 7, 3, 3, 3, 8, 8, 3, 3, 3, 8, 8};
  const nat4 offsets[] = {12, 20, 0, 0, 8, 16, 24, 28, 32, 36, 40, 28, 32, 36, 40, 44};
  dbField* fields = dbFieldsOf(rec);
  nat4 text = 762;  // texts follow the name without gaps
  nat4 size = 762;
  for (int i = 0; i < 16; i++) {
    SCOPED_TRACE(paths[i]);
    EXPECT_STREQ(fields[i].getName(), paths[i]);
    EXPECT_EQ(48 + 44 * i + fields[i].name.offs, text);
    text += strlen(paths[i]) + 3;
    size += strlen(paths[i]) + 3;
    EXPECT_STREQ(fields[i].getTableName(), "");
    EXPECT_STREQ(fields[i].getInverse(), "");
    EXPECT_EQ(fields[i].type, types[i]);
    EXPECT_EQ(fields[i].offset, offsets[i]);
    EXPECT_EQ(fields[i].hashTable, 0u);
  }
  EXPECT_EQ(meta->size, size);
  db.commit();
  db.close();
}

TEST_F(SchemaTest, DeclaredTableIsStoredFieldByField) {
  dbTableDescriptor* evo = newEvoV2();
  dbDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  std::string rec = tableRecord(db, "Evo");
  ASSERT_FALSE(rec.empty());
  byte* r = reinterpret_cast<byte*>(rec.data());
  dbTable* t = dbTableOf(r);
  const char* paths[] = {"a", "b", "c", "d", "d[]", "e"};
  const nat4 types[] = {7, 6, 7, 9, 3, 2};
  const nat4 offsets[] = {12, 24, 32, 40, 0, 48};
  ASSERT_EQ(t->fields.size, 6u);
  EXPECT_EQ(t->fixedSize, evo->storedFixedSize);
  EXPECT_EQ(t->nColumns, 5u);
  EXPECT_EQ(t->nRows, 0u);
  EXPECT_STREQ(dbTableName(r), "Evo");
  EXPECT_EQ(t->name.offs, 48u + 44 * 6);
  nat4 expectedSize = 48 + 44 * 6 + 4;
  for (int i = 0; i < 6; i++) {
    dbField& f = dbFieldsOf(r)[i];
    EXPECT_STREQ(f.getName(), paths[i]);
    EXPECT_EQ(f.type, types[i]);
    EXPECT_EQ(f.offset, offsets[i]);
    expectedSize += strlen(paths[i]) + 3;
  }
  EXPECT_EQ(t->size, expectedSize);
  db.close();
  delete evo;
}

TEST_F(SchemaTest, RowsAreConvertedWhenTheDeclarationChanges) {
  storeV1Rows({{"first", 7}, {"second", -3}});
  dbTableDescriptor* v2 = newEvoV2();
  dbDatabase db;
  db.allowColumnRemoval = true;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginTransaction(dbDatabase::dbSharedLock);
  dbTable* t = dbTableOf(db.getRow(v2->tableId));
  ASSERT_EQ(t->nRows, 2u);
  EvoV2 row{};
  v2->columns->fetch(reinterpret_cast<byte*>(&row), db.getRow(t->firstRow));
  EXPECT_STREQ(row.a, "first");
  EXPECT_EQ(row.b, 7.0);  // int4 to real8
  EXPECT_STREQ(row.c, "");  // a new string reads as the empty text
  EXPECT_EQ(row.d.length(), 0u);
  EXPECT_EQ(row.e, 0);
  v2->columns->fetch(reinterpret_cast<byte*>(&row), db.getRow(t->lastRow));
  EXPECT_STREQ(row.a, "second");
  EXPECT_EQ(row.b, -3.0);
  db.commit();
  db.close();
  delete v2;
}

TEST_F(SchemaTest, RemovingAFieldNeedsColumnRemoval) {
  storeV1Rows({{"x", 1}});
  expectOpenRefused(newEvoV2(), false);  // "gone" may not be dropped
}

TEST_F(SchemaTest, IntegerToStringIsNotConvertible) {
  storeV1Rows({{"x", 1}});
  expectOpenRefused(newEvoV3(), true);
}

TEST_F(SchemaTest, UnchangedReopenWritesNothing) {
  dbTableDescriptor* v1 = newEvoV1();
  {
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    insertV1(db, v1, "x", 1);
    db.close();
  }
  std::string before = readFile(file);
  {
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.close();
  }
  EXPECT_EQ(readFile(file), before);
  delete v1;
}

TEST_F(SchemaTest, SecondProcessWithAChangedDefinitionIsRefused) {
  dbTableDescriptor* v1 = newEvoV1();
  dbDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  {
    ChildProcess same("schema_open", {name, file, "1"});
    EXPECT_EQ(same.readLine(), "open");
    same.writeLine("close");
    same.wait();
  }
  ChildProcess changed("schema_open", {name, file, "2"});
  EXPECT_EQ(changed.readLine(), "failed: Incompatible class definition in application");
  changed.wait();
  EXPECT_EQ(db.getUserCount(), 1);
  db.close();
  delete v1;
}

}  // namespace

namespace {

TEST_F(SchemaTest, KilledInsertTransactionLeavesTheLastCommit) {
  for (int committed : {0, 25}) {
    SCOPED_TRACE(committed);
    {
      ChildProcess child("insert_forever", {name, file, std::to_string(committed)});
      ASSERT_EQ(child.readLine(), "committed " + std::to_string(committed));
      ASSERT_EQ(child.readLine(), "inserted 1000");
      ASSERT_EQ(child.readLine(), "inserted 2000");
      child.kill(SIGKILL);
      child.wait();
    }
    dbTableDescriptor* v1 = newEvoV1();
    dbDatabase db;
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginTransaction(dbDatabase::dbSharedLock);
    dbTable* t = dbTableOf(db.getRow(v1->tableId));
    nat4 n = 0;
    oid_t prev = 0;
    for (oid_t row = t->firstRow; row != 0; row = reinterpret_cast<dbRecord*>(db.getRow(row))->next) {
      EXPECT_EQ(reinterpret_cast<dbRecord*>(db.getRow(row))->prev, prev);
      prev = row;
      n += 1;
    }
    EXPECT_EQ(t->lastRow, prev);
    EXPECT_EQ(t->nRows, n);
    db.commit();
    // Inserting again after the recovery appends to a sound list.
    insertV1(db, v1, "after", 1);
    db.commit();
    db.beginTransaction(dbDatabase::dbSharedLock);
    EXPECT_EQ(dbTableOf(db.getRow(v1->tableId))->nRows, n + 1);
    db.commit();
    db.close();
    delete v1;
    std::remove(file.c_str());
    EXPECT_EQ(n, static_cast<nat4>(committed));
  }
}

}  // namespace
