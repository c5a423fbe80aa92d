// The stored layouts of the application tables, and their registration.
#include "app/tables/tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/query/cursor.h"
#include "engine/symbol_table.h"
#include "engine/table_record.h"
#include "tests/support/temp_dir.h"

namespace {

struct Slot {
  std::string path;
  nat4 storedOffset;
  int storedType;
};

struct LayoutCase {
  const char* table;
  dbTableDescriptor* descriptor;
  size_t classSize;
  size_t storedFixedSize;
  nat4 columnCount;
  std::vector<Slot> fields;  // the list of all data members, in order
};

std::vector<LayoutCase> layoutCases() {
  return {
      {"MsgRecord", &MsgRecord::dbDescriptor, sizeof(MsgRecord), 68, 7,
       {{"gcm_token", 12, tpString},
        {"msg", 20, tpString},
        {"id", 28, tpString},
        {"title", 36, tpString},
        {"content", 44, tpString},
        {"imgurl", 52, tpString},
        {"mobile", 60, tpString}}},
      {"Record", &Record::dbDescriptor, sizeof(Record), 52, 6,
       {{"name", 12, tpString},
        {"remark", 20, tpString},
        {"namelen", 28, tpInt4},
        {"remarklen", 32, tpInt4},
        {"nameA", 36, tpArray},
        {"nameA[]", 0, tpInt1},
        {"remarkA", 44, tpArray},
        {"remarkA[]", 0, tpInt1}}},
      {"ColWidth", &ColWidth::dbDescriptor, sizeof(ColWidth), 16, 3,
       {{"type", 12, tpInt1}, {"col", 13, tpInt1}, {"width", 14, tpInt2}}},
      {"PrintPreviewSetup", &PrintPreviewSetup::dbDescriptor, sizeof(PrintPreviewSetup), 32, 3,
       {{"pageSize", 12, tpInt1}, {"pageHeight", 16, tpReal8}, {"pageWidth", 24, tpReal8}}},
      {"Category", &Category::dbDescriptor, sizeof(Category), 20, 1, {{"name", 12, tpString}}},
      {"RecordCategory", &RecordCategory::dbDescriptor, sizeof(RecordCategory), 32, 3,
       {{"category", 12, tpReference}, {"name", 16, tpString}, {"remark", 24, tpString}}},
      {"BackupRecord", &BackupRecord::dbDescriptor, sizeof(BackupRecord), 41, 12,
       {{"lastBackupDate", 12, tpStructure},
        {"lastBackupDate.stamp", 12, tpInt4},
        {"everytime", 16, tpBool},
        {"everyday", 17, tpBool},
        {"lastBackup", 18, tpInt1},
        {"totalBackup", 19, tpInt1},
        {"path", 20, tpString},
        {"path2", 28, tpString},
        {"backupPath", 36, tpBool},
        {"backupPath2", 37, tpBool},
        {"everyhour", 38, tpBool},
        {"hour", 39, tpInt1},
        {"isEveryTime", 40, tpBool}}},
  };
}

const char* interned(const char* name) {
  dbSymbolTable::add(name, 0, true);
  return name;
}

TEST(ApplicationTables, StoredLayouts) {
  for (const LayoutCase& c : layoutCases()) {
    SCOPED_TRACE(c.table);
    dbTableDescriptor* t = c.descriptor;
    EXPECT_STREQ(t->name, c.table);
    EXPECT_EQ(t->name, interned(c.table));
    EXPECT_EQ(t->database, nullptr);
    EXPECT_EQ(t->storedFixedSize, c.storedFixedSize);
    // Every member is described, so no start-up warning was printed.
    EXPECT_EQ(t->objectSize, c.classSize);
    EXPECT_EQ(t->columnCount, c.columnCount);
    EXPECT_EQ(t->fieldCount, c.fields.size());
    std::vector<std::string> paths;
    size_t i = 0;
    for (dbFieldDescriptor* fd = t->firstField; fd != nullptr; fd = fd->nextInTable, i++) {
      ASSERT_LT(i, c.fields.size());
      EXPECT_EQ(fd->path, c.fields[i].path);
      EXPECT_EQ(fd->storedOffset, c.fields[i].storedOffset) << fd->path;
      EXPECT_EQ(fd->storedType, c.fields[i].storedType) << fd->path;
      EXPECT_EQ(fd->memberType, fd->storedType);
      EXPECT_EQ(fd->fieldNumber, static_cast<int>(i));
      EXPECT_EQ(fd->ownerTable, t);
      // No application table declares an index or an inverse reference.
      EXPECT_EQ(fd->indexFlags, 0u) << fd->path;
      EXPECT_EQ(fd->inverseName, nullptr);
    }
    EXPECT_EQ(t->hashedFields, nullptr);
    EXPECT_EQ(t->treeIndexedFields, nullptr);
    EXPECT_EQ(t->inverseFields, nullptr);
  }
}

TEST(ApplicationTables, RegisteredLastFirstWithCategoryBeforeRecordCategory) {
  std::vector<std::string> names;
  for (dbTableDescriptor* t = dbTableDescriptor::chain; t != nullptr; t = t->nextTable) names.push_back(t->name);
  EXPECT_EQ(names, (std::vector<std::string>{"BackupRecord", "RecordCategory", "Category", "PrintPreviewSetup",
                                             "ColWidth", "Record", "MsgRecord"}));
  EXPECT_EQ(RecordCategory::dbDescriptor.columns->targetTable, &Category::dbDescriptor);
}

TEST(ApplicationTables, RecordArraysAreOneToOneAndTheirTextsAreNot) {
  dbTableDescriptor& t = Record::dbDescriptor;
  dbFieldDescriptor* nameA = t.findSymbol(interned("nameA"));
  ASSERT_NE(nameA, nullptr);
  EXPECT_TRUE(nameA->layoutFlags & dbFieldDescriptor::OneToOneLayout);
  EXPECT_FALSE(nameA->layoutFlags & dbFieldDescriptor::HasVaryingParts);
  EXPECT_EQ(nameA->memberOffset, offsetof(Record, nameA));
  EXPECT_EQ(nameA->memberSize, sizeof(dbArray<int1>));
  EXPECT_EQ(nameA->storedSize, 8u);
  EXPECT_EQ(nameA->alignment, 4u);
  // A text's "[]" element is not a data member of its own.
  dbFieldDescriptor* name = t.findSymbol(interned("name"));
  ASSERT_NE(name, nullptr);
  ASSERT_NE(name->parts, nullptr);
  EXPECT_STREQ(name->parts->name, "[]");
  EXPECT_EQ(name->parts->storedSize, 1u);
  EXPECT_EQ(name->nextInTable, t.findSymbol(interned("remark")));
}

TEST(ApplicationTables, BackupDateIsAStructureWithMethodsOutsideTheFieldList) {
  dbFieldDescriptor* date = BackupRecord::dbDescriptor.findSymbol(interned("lastBackupDate"));
  ASSERT_NE(date, nullptr);
  EXPECT_EQ(date->storedOffset, 12u);
  EXPECT_EQ(date->storedSize, 4u);
  EXPECT_EQ(date->alignment, 4u);
  dbFieldDescriptor* stamp = date->parts;
  EXPECT_EQ(stamp->path, "lastBackupDate.stamp");
  EXPECT_EQ(stamp->indexFlags, 0u);  // lastBackupDate is not indexed
  const char* methods[] = {"year", "month", "day", "dayOfYear", "dayOfWeek", "hour", "minute", "second"};
  dbFieldDescriptor* fd = stamp->next;
  for (const char* method : methods) {
    SCOPED_TRACE(method);
    ASSERT_EQ(date->parts->findSymbol(interned(method)), fd);
    EXPECT_EQ(fd->path, std::string("lastBackupDate.") + method);
    EXPECT_EQ(fd->memberType, tpMethodInt4);
    EXPECT_EQ(fd->storedOffset, 12u);
    EXPECT_EQ(fd->parts, stamp);
    // The structure lies one-to-one in the record: the methods run on the stored bytes.
    EXPECT_NE((dynamic_cast<dbMethodFastTrampoline<dbDateTime, int4>*>(fd->accessor)), nullptr);
    fd = fd->next;
  }
  EXPECT_EQ(fd, stamp);
}

TEST(ApplicationTables, MsgRecordOfSevenEmptyTextsTakes75Bytes) {
  MsgRecord msg{"", nullptr, "", "", "", nullptr, ""};
  dbFieldDescriptor* columns = MsgRecord::dbDescriptor.columns;
  size_t size = columns->packedSize(reinterpret_cast<const byte*>(&msg), MsgRecord::dbDescriptor.storedFixedSize);
  ASSERT_EQ(size, 75u);
  std::vector<byte> record(size, 0xFF);
  EXPECT_EQ(columns->pack(record.data(), reinterpret_cast<const byte*>(&msg), 68), 75u);
  for (nat4 i = 0; i < 7; i++) {
    nat4 words[2];
    memcpy(words, &record[12 + 8 * i], sizeof words);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 68 + i);
    EXPECT_EQ(record[68 + i], 0);
  }
  MsgRecord back{};
  columns->fetch(reinterpret_cast<byte*>(&back), record.data());
  EXPECT_EQ(back.msg, reinterpret_cast<const char*>(&record[69]));
  EXPECT_STREQ(back.mobile, "");
}

TEST(ApplicationTables, RecordRoundTripKeepsTheUtf16NameInPlace) {
  const int1 utf16[] = {0x2D, 0x4E, static_cast<int1>(0x87), 0x65};  // "中文" as UTF-16LE
  Record rec{"", 0, "", 0, dbArray<int1>(utf16, 4), dbArray<int1>()};
  dbTableDescriptor& t = Record::dbDescriptor;
  size_t size = t.columns->packedSize(reinterpret_cast<const byte*>(&rec), t.storedFixedSize);
  EXPECT_EQ(size, 52u + 1 + 1 + 4);
  std::vector<byte> record(size);
  EXPECT_EQ(t.columns->pack(record.data(), reinterpret_cast<const byte*>(&rec), t.storedFixedSize), size);
  Record back{};
  t.columns->fetch(reinterpret_cast<byte*>(&back), record.data());
  ASSERT_EQ(back.nameA.length(), 4u);
  EXPECT_EQ(memcmp(back.nameA.base(), utf16, 4), 0);
  EXPECT_EQ(static_cast<const void*>(back.nameA.base()), &record[54]);  // not copied
  EXPECT_EQ(back.remarkA.length(), 0u);
  EXPECT_STREQ(back.name, "");
}

}  // namespace

namespace {

TEST(ApplicationTablesTest, FreshDatabaseHoldsAllSevenDefinitionsAndNoRows) {
  TempDir dir;
  dbDatabase db;
  std::string name = uniqueName("Torvik");
  ASSERT_TRUE(db.open(name.c_str(), dir.file("t.rvd").c_str()));
  db.beginTransaction(dbDatabase::dbSharedLock);
  dbTable* meta = dbTableOf(db.getRow(dbMetaTableId));
  std::set<std::string> names;
  for (oid_t row = meta->firstRow; row != 0; row = reinterpret_cast<dbRecord*>(db.getRow(row))->next) {
    byte* rec = db.getRow(row);
    names.insert(dbTableName(rec));
    EXPECT_EQ(dbTableOf(rec)->nRows, 0u) << dbTableName(rec);
  }
  EXPECT_EQ(names, (std::set<std::string>{"MsgRecord", "Record", "ColWidth", "PrintPreviewSetup", "Category",
                                          "RecordCategory", "BackupRecord"}));
  db.commit();
  // Typed inserts return the new record's identifier.
  dbReference<Record> ref = insert(Record{"n", 0, "r", 0, {}, {}});
  db.commit();
  dbCursor<Record> cursor;
  ASSERT_EQ(cursor.select(), 1);
  EXPECT_EQ(cursor.currentRef(), ref);
  EXPECT_STREQ(cursor->name, "n");
  db.commit();
  db.close();
}

}  // namespace
