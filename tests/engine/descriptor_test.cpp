// Describing record classes: kinds, layout rules and their assertions, the
// static list of tables, per-database copies, method members and dbDateTime.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/datetime.h"
#include "engine/describe.h"
#include "engine/symbol_table.h"

namespace {

const char* interned(const char* name) {
  dbSymbolTable::add(name, 0, true);
  return name;
}

template <class T>
dbTableDescriptor* describeTable(const char* name) {
  return new dbTableDescriptor(name, nullptr, sizeof(T), &T::template dbDescribeComponents<T>);
}

template <class T>
void expectLayoutRejected(const char* name) {
  dbTableDescriptor* before = dbTableDescriptor::chain;
  try {
    delete describeTable<T>(name);
    ADD_FAILURE() << name << " was accepted";
  } catch (const dbException& e) {
    EXPECT_EQ(e.getErrCode(), 0) << name;
    EXPECT_EQ(e.getMsg(), nullptr) << name;
  }
  EXPECT_EQ(dbTableDescriptor::chain, before) << name;
}

struct Point {
  int4 x;
  char const* label;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(label)));
};

struct Node {
  bool flag;
  int1 i1;
  int2 i2;
  int4 i4;
  int8 i8;
  real4 r4;
  real8 r8;
  char const* text;
  dbReference<Node> parent;
  dbArray<dbReference<Node>> children;
  dbArray<Point> points;
  Point origin;
  TYPE_DESCRIPTOR((FIELD(flag), KEY(i1, HASHED), KEY(i2, INDEXED), KEY(i4, HASHED | INDEXED), FIELD(i8), FIELD(r4),
                   FIELD(r8), KEY(text, HASHED), RELATION(parent, children), OWNER(children, parent),
                   FIELD(points), KEY(origin, INDEXED)));
};
REGISTER(Node);

struct Expected {
  const char* path;
  int type;
  nat4 storedOffset;
  nat4 storedSize;
  nat4 alignment;
  nat4 indexFlags;
};

TEST(TableDescriptor, KindsOffsetsAndIndexLists) {
  dbTableDescriptor& t = Node::dbDescriptor;
  const Expected expected[] = {
      {"flag", tpBool, 12, 1, 1, 0},
      {"i1", tpInt1, 13, 1, 1, HASHED},
      {"i2", tpInt2, 14, 2, 2, INDEXED},
      {"i4", tpInt4, 16, 4, 4, HASHED | INDEXED},
      {"i8", tpInt8, 24, 8, 8, 0},
      {"r4", tpReal4, 32, 4, 4, 0},
      {"r8", tpReal8, 40, 8, 8, 0},
      {"text", tpString, 48, 8, 4, HASHED},
      {"parent", tpReference, 56, 4, 4, 0},
      {"children", tpArray, 60, 8, 4, CASCADE},
      {"children[]", tpReference, 0, 4, 4, 0},
      {"points", tpArray, 68, 8, 4, 0},
      {"points[]", tpStructure, 0, 12, 4, 0},
      {"points[].x", tpInt4, 0, 4, 4, 0},
      {"points[].label", tpString, 4, 8, 4, 0},
      {"origin", tpStructure, 76, 12, 4, INDEXED},
      {"origin.x", tpInt4, 76, 4, 4, 0},
      {"origin.label", tpString, 80, 8, 4, 0},
  };
  dbFieldDescriptor* fd = t.firstField;
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.path);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->path, e.path);
    EXPECT_EQ(fd->storedType, e.type);
    EXPECT_EQ(fd->storedOffset, e.storedOffset);
    EXPECT_EQ(fd->storedSize, e.storedSize);
    EXPECT_EQ(fd->alignment, e.alignment);
    EXPECT_EQ(fd->indexFlags, e.indexFlags);
    fd = fd->nextInTable;
  }
  EXPECT_EQ(fd, nullptr);
  EXPECT_EQ(t.fieldCount, 18u);
  EXPECT_EQ(t.columnCount, 12u);
  EXPECT_EQ(t.storedFixedSize, 88u);
  EXPECT_EQ(t.objectSize, sizeof(Node));

  // Index lists run from the member described last to the first; the
  // indexed structure is on none, and its members lost their own flags.
  std::vector<std::string> hashed, tree, inverse;
  for (dbFieldDescriptor* f = t.hashedFields; f != nullptr; f = f->nextHashed) hashed.push_back(f->path);
  for (dbFieldDescriptor* f = t.treeIndexedFields; f != nullptr; f = f->nextTreeIndexed) tree.push_back(f->path);
  for (dbFieldDescriptor* f = t.inverseFields; f != nullptr; f = f->nextInverse) inverse.push_back(f->path);
  EXPECT_EQ(hashed, (std::vector<std::string>{"text", "i4", "i1"}));
  EXPECT_EQ(tree, (std::vector<std::string>{"i4", "i2"}));
  EXPECT_EQ(inverse, (std::vector<std::string>{"children", "parent"}));

  dbFieldDescriptor* parent = t.findSymbol(interned("parent"));
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(parent->targetTable, &t);
  EXPECT_EQ(parent->inverseName, interned("children"));
  dbFieldDescriptor* children = t.findSymbol(interned("children"));
  EXPECT_EQ(children->parts->targetTable, &t);
  EXPECT_EQ(children->arrayResize, &dbArray<dbReference<Node>>::arrayResize);
  EXPECT_EQ(t.findSymbol(interned("nothing")), nullptr);
}

TEST(TableDescriptor, LayoutFlags) {
  dbTableDescriptor& t = Node::dbDescriptor;
  const nat4 oneToOne = dbFieldDescriptor::OneToOneLayout;
  const nat4 varying = dbFieldDescriptor::HasVaryingParts;
  const nat4 inArray = dbFieldDescriptor::ElementOfArray;
  struct {
    const char* path;
    nat4 flags;
  } expected[] = {
      {"i4", oneToOne},
      {"text", oneToOne},
      {"children", inArray | oneToOne},
      {"children[]", inArray | oneToOne},
      // Element stored size 12 against member size 16, and texts inside.
      {"points", inArray | varying},
      {"points[]", inArray | varying},
      {"points[].label", inArray | oneToOne},
      {"origin", varying},
  };
  for (auto& e : expected) {
    dbFieldDescriptor* fd = t.firstField;
    while (fd != nullptr && fd->path != e.path) fd = fd->nextInTable;
    ASSERT_NE(fd, nullptr) << e.path;
    EXPECT_EQ(fd->layoutFlags, e.flags) << e.path;
  }
}

struct Stamped {
  int4 serial;
  dbDateTime when;
  TYPE_DESCRIPTOR((FIELD(serial), KEY(when, HASHED)));
};

struct Shuffled {
  dbDateTime when;
  int4 serial;
  int4 twice() const { return serial * 2; }
  // serial first: "when" no longer lies where its object bytes are.
  TYPE_DESCRIPTOR((FIELD(serial), FIELD(when), METHOD_MEMBER(twice)));
};

TEST(TableDescriptor, IndexBitsOfAStructureMemberFollowTheStructure) {
  dbTableDescriptor* t = describeTable<Stamped>("Stamped");
  dbFieldDescriptor* stamp = t->findSymbol(interned("when"))->parts;
  EXPECT_EQ(stamp->path, "when.stamp");
  EXPECT_EQ(stamp->indexFlags, static_cast<nat4>(HASHED));
  EXPECT_EQ(t->hashedFields, stamp);
  EXPECT_EQ(t->treeIndexedFields, nullptr);
  delete t;
}

TEST(TableDescriptor, MethodsCallDirectlyOnlyOnOneToOneLayouts) {
  setenv("TZ", "Asia/Taipei", 1);
  tzset();
  dbTableDescriptor* t = describeTable<Shuffled>("Shuffled");
  Shuffled value;
  value.when = dbDateTime(1700000000);  // 2023-11-14 22:13:20 UTC
  value.serial = 21;
  std::vector<byte> record(t->storedFixedSize);
  t->columns->pack(record.data(), reinterpret_cast<const byte*>(&value), t->storedFixedSize);

  dbFieldDescriptor* when = t->findSymbol(interned("when"));
  EXPECT_EQ(when->storedOffset, 16u);
  EXPECT_FALSE(when->layoutFlags & dbFieldDescriptor::OneToOneLayout);
  struct {
    const char* method;
    int4 expected;
  } local[] = {{"year", 2023}, {"month", 11},  {"day", 15},   {"dayOfYear", 319},
               {"dayOfWeek", 4}, {"hour", 6}, {"minute", 13}, {"second", 20}};
  for (auto& m : local) {
    dbFieldDescriptor* fd = when->parts->findSymbol(interned(m.method));
    ASSERT_NE(fd, nullptr) << m.method;
    EXPECT_EQ(fd->storedOffset, 16u);
    EXPECT_NE((dynamic_cast<dbMethodTrampoline<dbDateTime, int4>*>(fd->accessor)), nullptr) << m.method;
    int4 result = 0;
    fd->accessor->call(record.data(), &result);
    EXPECT_EQ(result, m.expected) << m.method;
  }
  // A method of the table class itself, reached through the top ring.
  dbFieldDescriptor* twice = t->findSymbol(interned("twice"));
  ASSERT_NE(twice, nullptr);
  EXPECT_EQ(twice->path, "twice");
  EXPECT_EQ(twice->parts, t->columns);
  int4 result = 0;
  twice->accessor->call(record.data(), &result);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(t->fieldCount, 3u);
  EXPECT_EQ(t->columnCount, 2u);
  delete t;
}

TEST(TableDescriptor, DateTimeStartsWithoutATime) {
  dbDateTime none;
  EXPECT_EQ(none.stamp, -1);
  EXPECT_FALSE(none.isValid());
  EXPECT_TRUE(dbDateTime::current().isValid());
}

// ---- Every layout rule is an internal consistency check.

struct MethodFirst {
  int4 x;
  int4 get() const { return x; }
  TYPE_DESCRIPTOR((METHOD_MEMBER(get), FIELD(x)));
};
struct DataAfterMethod {
  int4 x, y;
  int4 get() const { return x; }
  TYPE_DESCRIPTOR((FIELD(x), METHOD_MEMBER(get), FIELD(y)));
};
struct IndexedArray {
  dbArray<int4> values;
  TYPE_DESCRIPTOR((KEY(values, HASHED)));
};
struct InverseOnScalar {
  int4 x;
  TYPE_DESCRIPTOR((RELATION(x, y)));
};
struct InverseOnArrayOfScalars {
  dbArray<int4> values;
  TYPE_DESCRIPTOR((RELATION(values, y)));
};
struct Link {
  dbReference<Node> node;
  TYPE_DESCRIPTOR((RELATION(node, parent)));
};
struct InverseInsideArray {
  dbArray<Link> links;
  TYPE_DESCRIPTOR((FIELD(links)));
};
struct MethodReturningArray {
  int4 x;
  dbArray<int1> bytes() const { return dbArray<int1>(); }
  TYPE_DESCRIPTOR((FIELD(x), METHOD_MEMBER(bytes)));
};
struct MethodReturningStructure {
  int4 x;
  Point where() const { return Point{x, ""}; }
  TYPE_DESCRIPTOR((FIELD(x), METHOD_MEMBER(where)));
};
struct BadStructureMember {
  int4 x;
  MethodFirst inner;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(inner)));
};

TEST(TableDescriptor, BrokenLayoutRulesAreInternalErrors) {
  expectLayoutRejected<MethodFirst>("MethodFirst");
  expectLayoutRejected<DataAfterMethod>("DataAfterMethod");
  expectLayoutRejected<IndexedArray>("IndexedArray");
  expectLayoutRejected<InverseOnScalar>("InverseOnScalar");
  expectLayoutRejected<InverseOnArrayOfScalars>("InverseOnArrayOfScalars");
  expectLayoutRejected<InverseInsideArray>("InverseInsideArray");
  expectLayoutRejected<MethodReturningArray>("MethodReturningArray");
  expectLayoutRejected<MethodReturningStructure>("MethodReturningStructure");
  expectLayoutRejected<BadStructureMember>("BadStructureMember");
}

// ---- The static list, copies, the size warning.

struct Partly {
  int4 described;
  int4 forgotten;
  TYPE_DESCRIPTOR((FIELD(described)));
};
struct Padded {  // description order differs from object order, with padding
  int1 small;
  char const* text;
  int4 count;
  TYPE_DESCRIPTOR((FIELD(text), FIELD(count), FIELD(small)));
};

TEST(TableDescriptor, WarnsWhenTheDescriptionMissesMembers) {
  testing::internal::CaptureStderr();
  dbTableDescriptor* partly = describeTable<Partly>("Partly");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: may be not all fields of the class 'Partly' were described\n");
  EXPECT_EQ(partly->objectSize, 4u);
  EXPECT_EQ(partly->storedFixedSize, 16u);

  testing::internal::CaptureStderr();
  dbTableDescriptor* padded = describeTable<Padded>("Padded");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(padded->objectSize, sizeof(Padded));
  delete padded;
  delete partly;
}

TEST(TableDescriptor, StaticListAndPerDatabaseCopies) {
  dbTableDescriptor* before = dbTableDescriptor::chain;
  dbTableDescriptor* a = describeTable<Point>("PointA");
  dbTableDescriptor* b = describeTable<Point>("PointB");
  EXPECT_EQ(dbTableDescriptor::chain, b);
  EXPECT_EQ(b->nextTable, a);
  EXPECT_EQ(a->nextTable, before);
  EXPECT_FALSE(a->fixedDatabase);

  dbTableDescriptor* copy = a->clone();
  EXPECT_EQ(dbTableDescriptor::chain, b);
  EXPECT_EQ(copy->cloneOf, a);
  EXPECT_EQ(copy->database, dbTableDescriptor::everyDatabase());
  EXPECT_EQ(copy->name, a->name);
  EXPECT_NE(copy->columns, a->columns);
  EXPECT_EQ(copy->columns->name, a->columns->name);
  EXPECT_EQ(copy->storedFixedSize, a->storedFixedSize);
  EXPECT_EQ(copy->fieldCount, a->fieldCount);
  delete copy;

  delete a;
  EXPECT_EQ(b->nextTable, before);
  delete b;
  EXPECT_EQ(dbTableDescriptor::chain, before);
}

// ---- Inverse references, resolved once the tables of a database are bound.

struct Book;
struct Author {
  char const* name;
  dbArray<dbReference<Book>> books;
  TYPE_DESCRIPTOR((FIELD(name), RELATION(books, author)));
};
struct Book {
  char const* title;
  dbReference<Author> author;
  TYPE_DESCRIPTOR((FIELD(title), RELATION(author, books)));
};
REGISTER(Author);
REGISTER(Book);

struct Orphan {
  dbReference<Author> owner;
  TYPE_DESCRIPTOR((RELATION(owner, missing)));
};
struct Stray {
  dbReference<Author> writer;
  TYPE_DESCRIPTOR((RELATION(writer, books)));
};

TEST(InverseReferences, ResolvedBothWays) {
  dbDatabase db;
  testing::internal::CaptureStderr();
  Author::dbDescriptor.resolveInverseReferences(&db);
  Book::dbDescriptor.resolveInverseReferences(&db);
  Node::dbDescriptor.resolveInverseReferences(&db);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  dbFieldDescriptor* books = Author::dbDescriptor.findSymbol(interned("books"));
  dbFieldDescriptor* author = Book::dbDescriptor.findSymbol(interned("author"));
  EXPECT_EQ(books->inverseField, author);
  EXPECT_EQ(author->inverseField, books);
  dbFieldDescriptor* parent = Node::dbDescriptor.findSymbol(interned("parent"));
  dbFieldDescriptor* children = Node::dbDescriptor.findSymbol(interned("children"));
  EXPECT_EQ(parent->inverseField, children);
  EXPECT_EQ(children->inverseField, parent);
}

TEST(InverseReferences, MissingAndMismatchedInversesAreReportedAsClass11) {
  dbDatabase db;
  struct {
    dbTableDescriptor* table;
    const char* message;
    bool resolved;
  } cases[] = {
      {describeTable<Orphan>("Orphan"), "Failed to locate inverse reference field Author.missing for field Orphan.owner\n",
       false},
      {describeTable<Stray>("Stray"),
       "Inverse references for field Stray.writer is Author.books, but its inverse reference is author\n", true},
  };
  for (auto& c : cases) {
    testing::internal::CaptureStderr();
    c.table->resolveInverseReferences(&db);  // class 11 is printed and returned
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(c.table->columns->inverseField != nullptr, c.resolved);
    delete c.table;
  }
}

// ---- Symbol table.

TEST(SymbolTable, HashesBytesTimes31) {
  EXPECT_EQ(dbSymbolTable::hash("abc"), 96354u);  // (97 * 31 + 98) * 31 + 99
  EXPECT_EQ(dbSymbolTable::hash(""), 0u);
  EXPECT_EQ(dbSymbolTable::hash("\xff"), 255u);  // bytes are unsigned
  EXPECT_EQ(dbSymbolTable::bucketOf("abc"), 96354u % 1009);
}

TEST(SymbolTable, InternsByPointerAndKeepsTheFirstCode) {
  char first[] = "symbolTableProbe";
  char second[] = "symbolTableProbe";
  const char* a = first;
  const char* b = second;
  EXPECT_EQ(dbSymbolTable::add(a, 7, true), 7);
  EXPECT_NE(a, first);  // the table's own copy
  EXPECT_EQ(dbSymbolTable::add(b, 9, true), 7);
  EXPECT_EQ(a, b);

  static const char literal[] = "symbolTableLiteral";
  const char* c = literal;
  dbSymbolTable::add(c, 0, false);
  EXPECT_EQ(c, literal);  // kept without copying
}

TEST(SymbolTable, NamesOfOneBucketStayApart) {
  // 34 * 31 + 52 = 1106 = 1009 + 97: the same bucket as "a".
  const char* a = "a";
  const char* other = "\"4";
  dbSymbolTable::add(a, 0, true);
  dbSymbolTable::add(other, 0, true);
  ASSERT_EQ(dbSymbolTable::bucketOf(a), dbSymbolTable::bucketOf(other));
  EXPECT_NE(a, other);
  int found = 0;
  for (const dbSymbolTable::Entry* e = dbSymbolTable::bucket(97); e != nullptr; e = e->next) {
    EXPECT_EQ(e->hash % 1009, 97u);
    if (e->name == a || e->name == other) found++;
  }
  EXPECT_EQ(found, 2);
}

}  // namespace
