// The condition compiler: the trees it builds, the exact message and position
// of every kind of error, the clauses, and robustness against any input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/datetime.h"
#include "engine/describe.h"
#include "engine/query/compiler.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "engine/symbol_table.h"
#include "tests/support/error_capture.h"
#include "tests/support/temp_dir.h"

namespace {

struct Person {
  int4 x;
  int4 y;
  int8 big;
  real8 w;
  bool flag;
  char const* name;
  dbArray<int4> nums;
  dbReference<Person> boss;
  dbArray<dbReference<Person>> friends;
  dbDateTime born;
  struct Code {
    char bytes[4];
  } code;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(y), FIELD(big), FIELD(w), FIELD(flag), FIELD(name), FIELD(nums), FIELD(boss),
                   FIELD(friends), FIELD(born), RAWFIELD(code)));
};

struct Other {
  int4 z;
  TYPE_DESCRIPTOR((FIELD(z)));
};

}  // namespace

REGISTER(Person);
REGISTER(Other);

namespace {

// The tree in prefix form: code(operands...), constants by value, fields by
// path, parameters as $kind.
std::string dump(const dbExprNode* n) {
  if (n == nullptr) return "-";
  switch (n->cop) {
    case dbvmLoadIntConstant: return std::to_string(n->ivalue);
    case dbvmLoadRealConstant: return std::to_string(n->fvalue);
    case dbvmLoadStringConstant: return "'" + std::string(n->svalue.str) + "'";
    default: break;
  }
  if (n->cop >= dbvmVariableBool && n->cop <= dbvmVariableRawBinary) return "$" + std::to_string(n->cop - 53);
  std::string s = std::to_string(n->cop);
  bool load = n->cop <= dbvmLoadSelfRawBinary;
  if (load && n->ref.field != nullptr) s += ":" + n->ref.field->path;
  int ops = load ? (n->ref.base ? 1 : 0) : n->operandCount();
  if (ops == 0) return s;
  s += "(";
  for (int i = 0; i < ops; i++) s += (i ? "," : "") + dump(n->operand[i]);
  return s + ")";
}

class CompilerTest : public ::testing::Test {
 protected:
  RecordingDatabase db;
  dbQueryCompiler compiler;

  // Compiles text for Person; "" when it compiled, else the message and
  // position reported.
  std::string compile(dbQuery& q, dbTableDescriptor& table = Person::dbDescriptor) {
    db.errors.clear();
    if (compiler.compile(&db, &table, q)) {
      EXPECT_TRUE(db.errors.empty());
      EXPECT_EQ(q.table, &table);
      return "";
    }
    EXPECT_EQ(db.errors.size(), 1u);
    EXPECT_FALSE(q.compiled());
    EXPECT_EQ(q.order, nullptr);
    EXPECT_EQ(q.follow, nullptr);
    if (db.errors.empty()) return "?";
    EXPECT_EQ(db.errors[0].error, QueryError);
    return db.errors[0].message + "@" + std::to_string(db.errors[0].arg);
  }
  std::string tree(const char* text) {
    dbQuery q(text);
    std::string e = compile(q);
    return e.empty() ? dump(q.tree) : "error " + e;
  }
};

TEST_F(CompilerTest, TreesOfConditions) {
  struct Case {
    const char* text;
    const char* tree;
  };
  const Case cases[] = {
      {"", "169"},
      {"   -- only a comment", "169"},
      {"order by x", "169"},
      {"start from first", "169"},
      // The quote ends the literal; the rest is left unscanned.
      {"name like '%O'Brien%'", "131(27:name,'%O')"},
      {"x = 1 y = 2", "91(23:x,1)"},
      {"x = 1 AND y = 2", "91(23:x,1)"},  // upper-case AND is an identifier
      {"x in (5, 6)", "77(91(23:x,5),91(23:x,6))"},
      {"x in (5, 6, 7)", "77(77(91(23:x,5),91(23:x,6)),91(23:x,7))"},
      {"x = 123456789", "91(23:x,123456789)"},
      {"big = 1234567890", "91(24:big,1234567890)"},
      {"big = 9223372036854775807", "91(24:big,9223372036854775807)"},
      {"big = 1234567890123", "91(24:big,1234567890123)"},
      {"w = 1e3", "113(26:w,1000.000000)"},
      {"w > 1.5", "115(26:w,1.500000)"},
      {"x = 1e3", "113(136(23:x),1000.000000)"},  // the integer side becomes real
      {"w < x", "117(26:w,136(23:x))"},
      {"1 < w", "117(1.000000,26:w)"},  // a constant converts in place
      {"x = -3", "91(23:x,-3)"},
      {"-x = 3", "91(81(23:x),3)"},
      {"-x ^ 2 = 4", "91(90(81(23:x),2),4)"},  // unary minus binds to the term
      {"x ^ 2 ^ 3 = 1", "91(90(23:x,90(2,3)),1)"},
      {"w ^ 2 = 1", "113(105(26:w,2),1.000000)"},
      {"x ^ 0.5 = 1", "113(104(136(23:x),0.500000),1.000000)"},
      {"not x = 1", "79(91(23:x,1))"},
      {"not 5 = x", "79(91(5,23:x))"},
      {"x = not 5", "91(23:x,-6)"},  // an integer constant is complemented in place
      {"x = 1 and y = 2 or flag", "77(78(91(23:x,1),91(23:y,2)),20:flag)"},
      {"x = 1 or y = 2 and flag", "77(91(23:x,1),78(91(23:y,2),20:flag))"},
      {"x between 1 and 2", "97(23:x,1,2)"},
      {"x not between 1 and w", "79(119(136(23:x),1.000000,26:w))"},
      {"name like 'a%' escape '\\'", "132(27:name,'a%','\\')"},
      {"name not like 'a'", "79(131(27:name,'a'))"},
      {"'bc' in name", "49('bc',27:name)"},
      {"3 in nums", "43(3,29:nums)"},
      {"boss in friends", "48(28:boss,29:friends)"},
      {"7 in friends", "48(135(7),29:friends)"},
      {"boss is null", "80(28:boss)"},
      {"boss is not null", "79(80(28:boss))"},
      {"boss = null", "122(28:boss,73)"},
      {"boss = 5", "122(28:boss,135(5))"},
      {"current = first", "122(70,71)"},
      {"boss.x = 1", "91(3:x(141(28:boss)),1)"},
      {"boss.boss.name = 'a'", "124(7:name(141(8:boss(141(28:boss)))),'a')"},
      {"last.x = 1", "91(3:x(141(72)),1)"},
      {"nums[1] = 2", "91(3:nums[](52(29:nums,1)),2)"},
      {"friends[0].x = 2", "91(3:x(141(8:friends[](52(29:friends,0)))),2)"},
      {"name[0] = 97", "91(53(27:name,0),97)"},
      {"length(nums) > 0", "93(50(29:nums),0)"},
      {"length(name) > 0", "93(51(27:name),0)"},
      {"upper(name) = lower(name)", "124(133(27:name),134(27:name))"},
      {"abs(x) = abs(w)", "113(136(89(23:x)),103(26:w))"},
      {"integer(w) = 2", "91(137(26:w),2)"},
      {"real(x) = 2", "113(136(23:x),2.000000)"},
      {"real(2) = w", "113(2.000000,26:w)"},
      {"string(x) = string(w)", "124(138(23:x),139(26:w))"},
      {"born.year = 2020", "91(33:born.year,2020)"},
      {"boss.born.month = 1", "91(13:born.month(141(28:boss)),1)"},
      {"exists i: (nums[i] = 3)", "142(91(3:nums[](52(29:nums,143)),3))"},
      {"exists i: (x = 3)", "91(23:x,3)"},  // the body does not use the variable
      {"exists i: exists j: (nums[i] = nums[j])", "142(142(91(3:nums[](52(29:nums,143)),3:nums[](52(29:nums,143)))))"},
      {"where x = 1", "91(23:x,1)"},
      {"x = 1 -- note\nand y = 2", "78(91(23:x,1),91(23:y,2))"},
      {"x&y", "error Invalid symbol@1"},
      {"x = 1 or 2 = y", "77(91(23:x,1),91(2,23:y))"},
      {"flag = true", "120(20:flag,68)"},
      {"flag <> false", "121(20:flag,69)"},
      {"x + y * 2 - 1 = 0", "91(83(82(23:x,84(23:y,2)),1),0)"},
      {"x / 2 = big", "91(85(23:x,2),24:big)"},
      {"(x = 1)", "91(23:x,1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(tree(c.text), c.tree) << c.text;
}

TEST_F(CompilerTest, TheThirtyFiveKeywordsAreInternedInLowerCaseOnly) {
  const char* keywords[] = {"all",    "abs",   "and",    "asc",   "between", "by",     "current", "desc",  "escape",
                            "exists", "first", "false",  "follow", "from",   "in",     "is",      "integer",
                            "insert", "into",  "last",   "length", "like",   "lower",  "not",     "null",   "or",
                            "order",  "real",  "select", "start",  "string", "table",  "true",    "upper",  "where"};
  ASSERT_EQ(std::size(keywords), 35u);
  for (const char* k : keywords) {
    const char* name = k;
    EXPECT_GT(dbSymbolTable::add(name, 0, true), dbQueryCompiler::tknEof) << k;
  }
  const char* upper = "LIKE";
  EXPECT_EQ(dbSymbolTable::add(upper, 0, true), dbQueryCompiler::tknIdent);
  // Reserved words no rule accepts.
  EXPECT_EQ(tree("select = 1"), "error operand expected@5");
  EXPECT_EQ(tree("x = 1 table"), "91(23:x,1)");
}

TEST_F(CompilerTest, SpellingsOfTheSameOperatorBuildTheSameNodes) {
  EXPECT_EQ(tree("x != y"), tree("x <> y"));
  EXPECT_EQ(tree("x <> y"), "92(23:x,23:y)");
  EXPECT_EQ(tree("name || name = 'a'"), tree("name + name = 'a'"));
  EXPECT_EQ(tree("name + name = 'a'"), "124(140(27:name,27:name),'a')");
}

TEST_F(CompilerTest, ParameterOnTheLeftIsExchangedAndMirrored) {
  int4 v = 0;
  struct Case {
    const char* op;
    const char* tree;
  };
  const Case cases[] = {{" < x", "93(23:x,$4)"},  {" <= x", "94(23:x,$4)"}, {" > x", "95(23:x,$4)"},
                        {" >= x", "96(23:x,$4)"}, {" = x", "91(23:x,$4)"},  {" <> x", "92(23:x,$4)"}};
  for (const Case& c : cases) {
    dbQuery q(&v, c.op);
    ASSERT_EQ(compile(q), "") << c.op;
    EXPECT_EQ(dump(q.tree), c.tree) << c.op;
    EXPECT_EQ(q.tree->operand[1]->var, &v);
  }
  dbQuery right("x < ", &v);
  ASSERT_EQ(compile(right), "");
  EXPECT_EQ(dump(right.tree), "95(23:x,$4)");
}

TEST_F(CompilerTest, ParametersOfEveryKindGetTheirTypes) {
  bool b = false;
  int1 i1 = 0;
  int2 i2 = 0;
  int8 i8 = 0;
  real4 f4 = 0;
  real8 f8 = 0;
  char chars[8] = "";
  const char* text = "";
  dbReference<Person> ref;
  dbArray<dbReference<Person>> refs;
  dbArray<dbReference<Person>>* refsPtr = &refs;
  dbQuery q("flag = ", &b, " and x = ", &i1, " and x = ", &i2, " and big = ", &i8, " and w = ", &f4,
            " and w = ", &f8, " and name = ", &chars, " and name = ", &text, " and boss = ", &ref, " and boss in ",
            &refs, " and boss in ", &refsPtr, " and ", &ref, ".x = 1 and ", &refs, "[0].y = 2");
  ASSERT_EQ(compile(q), "");
  EXPECT_EQ(dump(q.tree),
            "78(120(20:flag,$1),78(91(23:x,$2),78(91(23:x,$3),78(91(24:big,$5),78(113(26:w,$6),78(113(26:w,$7),"
            "78(124(27:name,$8),78(124(27:name,$9),78(122(28:boss,$10),78(48(28:boss,$11),78(48(28:boss,$12),"
            "78(91(3:x(141($10)),1),91(3:y(141(8(52($11,0)))),2)))))))))))))");
}

TEST_F(CompilerTest, RawBinaryComparisonsNeedARecordField) {
  char key[4] = {};
  dbQuery q(dbRawParameter{key}, " < code");
  ASSERT_EQ(compile(q), "");
  EXPECT_EQ(dump(q.tree), "108(39:code,$13)");
  EXPECT_EQ(q.tree->offs, 4);
  EXPECT_EQ(q.tree->cmp.comparator, Person::dbDescriptor.findSymbol(q.tree->operand[0]->ref.field->name)->compare);
  dbQuery between("code between ", dbRawParameter{key}, " and ", dbRawParameter{key});
  ASSERT_EQ(compile(between), "");
  EXPECT_EQ(dump(between.tree), "112(39:code,$13,$13)");
  EXPECT_EQ(between.tree->offs, 4);
  dbQuery two(dbRawParameter{key}, " = ", dbRawParameter{key});
  EXPECT_EQ(compile(two), "Operations with raw binary types should include at least one record field@0");
  dbQuery reversed(dbRawParameter{key}, " between code and code");
  EXPECT_EQ(compile(reversed), "Operations with raw binary types should include at least one record field@21");
  dbQuery mixed("code = 1");
  EXPECT_EQ(compile(mixed), "operands of relation operator should be of integer, real or string type@6");
}

TEST_F(CompilerTest, ErrorsWithTheirPositions) {
  const std::string longString(4095, 'a');
  const std::string tooLongString(4096, 'a');
  const std::string longName(4095, 'n');
  const std::string tooLongName(4096, 'n');
  const std::string strings[] = {"name = '" + longString + "'", "name = '" + tooLongString + "'",
                                 longName + " = 1", tooLongName + " = 1"};
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"x in (5)", "List of expressions or array expected@4"},
      {"name LIKE 'a'", "Conditional expression should have boolean type\n@0"},
      {"x + 1", "Conditional expression should have boolean type\n@0"},
      {".5 = x", "operand expected@0"},
      {"x = )", "operand expected@4"},
      {"x = ", "operands of relation operator should be of integer, real or string type@3"},
      {"x = 99999999999999999999", "Bad integer constant@23"},
      {"'abc", "Unterminated character constant@3"},
      {"x ! 1", "Invalid token '!'@2"},
      {"name | name", "Invalid token '|'@5"},
      {"x = #", "Invalid symbol@4"},
      {strings[1], "String constant too long@4103"},
      {strings[2], "Field not found@0"},
      {strings[3], "Name too long@4095"},
      {"x = 1 or name", "Bad operands for OR operator@8"},
      {"x = 1 and name", "Bad operands for AND operator@9"},
      {"name = 1", "operands of relation operator should be of integer, real or string type@6"},
      {"name < w", "operands of relation operator should be of intger, real or string type@0"},
      {"w < name", "operands of relation operator should be of intger, real or string type@3"},
      {"boss > boss", "References can be checked only for equality@6"},
      {"flag > flag", "Boolean variables can be checked only for equality@6"},
      {"x between 1 or 2", "AND expected@13"},
      {"x between 'a' and w", "operand of BETWEEN operator should be of integer, real or string type@9"},
      {"x between 'a' and 'b'", "operands of BETWEEN operator should be of integer, real or string type@9"},
      {"name like 1", "operands of LIKE operator should be of string type@9"},
      {"name like 'a' escape x", "String literal espected after ESCAPE@20"},
      {"x in name", "Left operand of IN expression hasn't string type@8"},
      {"name in nums", "Type of selective expression of IN operator doesn't match type of the array@11"},
      {"w in nums", "Type of selective expression of IN operator doesn't match type of the array@8"},
      {"x in (1, 'a')", "Expression 2 in right part of IN operator have incompatible type@12"},
      {"x in (1, 2, name)", "Expression 3 in right part of IN operator have incompatible type@16"},
      {"x in (1, boss)", ""},  // an integer pairs with a reference
      {"x is null", "IS [NOT] NULL predicate can be applied only to references@4"},
      {"boss is not 5", "NULL expected@11"},
      {"boss is 5", "[NOT] NULL expected@7"},
      {"x not = 1", "LIKE, BETWEEN or IN expected@5"},
      {"x + 'a' = 1", "operands of arithmentic operator should be of integer or real type@3"},
      {"name - name = 'a'", "Operation - is not defined for strings@6"},
      {"name * 2.0 = 1", "operands of arithmetic operators should be of integer or real type@0"},
      {"2.0 * name = 1", "operands of arithmetic operator should be of integer or real type@5"},
      {"name ^ 2 = 1", "operands of arithmentic operator should be of integer or real type@6"},
      {"name ^ 2.0 = 1", "operands of arithmetic operators should be of integer or real type@0"},
      {"-name = 'a'", "Unary minus can be applied only to integer or real expressions@1"},
      {"+x = 1", "Using of unary plus operator has no sence@0"},
      {"not name", "NOT operator can be applied only to integer or boolean expressions@3"},
      {"length(x) = 1", "LENGTH function is defined only for arrays and strings@6"},
      {"lower(x) = 'a'", "LOWER function can be applied only to string argument@5"},
      {"upper(x) = 'a'", "UPPER function can be applied only to string argument@5"},
      {"abs(name) = 1", "ABS function can be applied only to integer or real expression@3"},
      {"integer(x) = 1", "INTEGER function can be applied only to expression of real type@7"},
      {"real(w) = 1", "REAL function can be applied only to expression of integer type@4"},
      {"string(name) = 'a'", "STRING function can be applied only to integer or real expression@6"},
      {"(x = 1", "')' expected@5"},
      {"exists 1: true", "Free variable name expected@7"},
      {"exists i true", "':' expected@8"},
      {"exists i: (nums[i])", "Expresion in EXISTS clause should be of boolean type@18"},
      {"exists a: exists b: exists c: exists d: (nums[a] = 1)", "Too many nested EXISTS clauses\n@37"},
      {"zz = 1", "Field not found@0"},
      {"born = 1", "'.' expected@5"},
      {"born.zzz = 1", "Field not found@7"},
      {"born.1 = 1", "identifier expected@5"},
      {"x.y = 1", "Left operand of '.' should be structure or reference@2"},
      {"boss.zz = 1", "Field not found@6"},
      {"x[1] = 1", "Index can be applied only to arrays@1"},
      {"nums[1 = 1", "']' expected@9"},  // the index is a whole disjunction
      {"nums['a'] = 1", "Index should have integer type@8"},
      {"i = 1 and exists i: (nums[i] = 1) and i = 1", "Field not found@0"},
      {"start x", "FROM expected after START@5"},
      {"start from x", "FIRST, LAST or reference varaible expected@10"},
      {"start from first follow x", "BY expected after FOLLOW@23"},
      {"start from first follow by 1", "Field name expected@26"},
      {"start from first follow by zz", "Field not found@28"},
      {"start from first follow by x", "Follow field should be of compatibale reference or array of reference type@27"},
      {"start from first follow by born.year", "Follow field should be of compatibale reference or array of reference type@35"},
      {"start from first follow by born x", "'.' expected@32"},
      {"order x", "BY expected after ORDER@5"},
      {"order by x)", "Unbalanced parentheses @10"},
      {"order by (x), y)", "Unbalanced parentheses @15"},
      {"order by boss.nums", "Expressions in ORDER BY part should have scalar type@8"},
      {"order by", "Expressions in ORDER BY part should have scalar type@8"},
      // Positions count from the start of the current line; WHERE moves the floor.
      {"x = 1\n  and zz = 2", "Field not found@5"},
      {"x = 1\nand\n name = 1", "operands of relation operator should be of integer, real or string type@7"},
      {"where zz = 1", "Field not found@5"},
  };
  for (const Case& c : cases) {
    dbQuery q(c.text.c_str());
    EXPECT_EQ(compile(q), c.error) << c.text.substr(0, 80);
  }
  dbQuery longest(strings[0].c_str());
  EXPECT_EQ(compile(longest), "");
}

TEST_F(CompilerTest, ErrorAfterTheConditionFreesTheClausesBuilt) {
  dbQuery q("x = 1 order by x, y desc, zz");
  EXPECT_EQ(compile(q), "Field not found@28");  // the item's first token was pushed back
  dbQuery f("start from first follow by boss, friends, x");
  EXPECT_EQ(compile(f), "Follow field should be of compatibale reference or array of reference type@42");
}

TEST_F(CompilerTest, OrderByComponents) {
  dbQuery q("x > 0 order by (x desc, y), length(nums) asc, (name + 'a'), boss.y desc, nums");
  ASSERT_EQ(compile(q), "");
  struct Expected {
    const char* field;
    const char* expr;
    bool ascent;
  };
  const Expected expected[] = {{"x", nullptr, false},
                               {"y", nullptr, true},
                               {"nums", nullptr, true},
                               {nullptr, "140(27:name,'a')", true},
                               {nullptr, "3:y(141(28:boss))", false},
                               {"nums", nullptr, true}};
  dbOrderByNode* o = q.order;
  for (const Expected& e : expected) {
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->table, &Person::dbDescriptor);
    EXPECT_EQ(o->ascent, e.ascent);
    if (e.field) {
      ASSERT_NE(o->field, nullptr);
      EXPECT_EQ(o->field->path, e.field);
      EXPECT_EQ(o->expr, nullptr);
    } else {
      EXPECT_EQ(o->field, nullptr);
      EXPECT_EQ(dump(o->expr), e.expr);
    }
    o = o->next;
  }
  EXPECT_EQ(o, nullptr);
  dbQuery plain("order by x desc, y");
  ASSERT_EQ(compile(plain), "");
  EXPECT_FALSE(plain.order->ascent);
  EXPECT_TRUE(plain.order->next->ascent);
}

TEST_F(CompilerTest, StartFromAndFollowBy) {
  dbQuery q("x > 1 start from last follow by boss, friends order by y");
  ASSERT_EQ(compile(q), "");
  EXPECT_EQ(q.startFrom, dbCompiledQuery::StartFromLast);
  ASSERT_NE(q.follow, nullptr);
  EXPECT_EQ(q.follow->field->path, "friends");  // prepended: reverse order
  ASSERT_NE(q.follow->next, nullptr);
  EXPECT_EQ(q.follow->next->field->path, "boss");
  EXPECT_EQ(q.follow->next->next, nullptr);
  ASSERT_NE(q.order, nullptr);
  EXPECT_EQ(q.order->field->path, "y");

  dbReference<Person> start;
  dbArray<dbReference<Person>> starts;
  dbArray<dbReference<Person>>* startsPtr = &starts;
  dbReference<Other> foreign;
  int4 number = 0;
  dbQuery byRef("start from ", &start);
  ASSERT_EQ(compile(byRef), "");
  EXPECT_EQ(byRef.startFrom, dbCompiledQuery::StartFromRef);
  EXPECT_EQ(byRef.startFromPtr, &start);
  dbQuery byArray("start from ", &starts);
  ASSERT_EQ(compile(byArray), "");
  EXPECT_EQ(byArray.startFrom, dbCompiledQuery::StartFromArray);
  dbQuery byArrayPtr("start from ", &startsPtr);
  ASSERT_EQ(compile(byArrayPtr), "");
  EXPECT_EQ(byArrayPtr.startFrom, dbCompiledQuery::StartFromArrayPtr);
  EXPECT_EQ(byArrayPtr.startFromPtr, &startsPtr);

  dbQuery wrongTable("start from ", &foreign);
  EXPECT_EQ(compile(wrongTable), "Incompatiable type of reference variable@0");
  dbQuery notRef("start from ", &number);
  EXPECT_EQ(compile(notRef), "Reference or array of reference variable expected@0");
  dbQuery other("start from first", " follow by z");
  EXPECT_EQ(compile(other, Other::dbDescriptor),
            "Follow field should be of compatibale reference or array of reference type@11");
}

TEST_F(CompilerTest, RecompilingReplacesTheCompiledPart) {
  dbQuery q("x = 1 order by y");
  ASSERT_EQ(compile(q), "");
  ASSERT_EQ(compile(q, Other::dbDescriptor), "Field not found@0");
  EXPECT_FALSE(q.compiled());
  dbQuery z("z = 1");
  ASSERT_EQ(compile(z, Other::dbDescriptor), "");
  EXPECT_EQ(dump(z.tree), "91(23:z,1)");
}

// ---- No input crashes the compiler, and whatever compiles evaluates or
// fails with an engine error.

class QuietDatabase : public dbDatabase {
 public:
  int queryErrors = 0;
  void handleError(dbErrorClass error, const char* msg, int arg) override {
    if (error == QueryError) {
      queryErrors++;
      return;
    }
    throw dbException(error, msg, arg);
  }
};

TEST(CompilerFuzzTest, RandomAndMutatedConditionsNeverCrash) {
  TempDir dir;
  std::string name = uniqueName("fuzz");
  QuietDatabase db;
  ASSERT_TRUE(db.open(name.c_str(), dir.file("fuzz.rvd").c_str()));
  Person p{};
  p.x = 3;
  p.name = "abc";
  int4 numbers[] = {1, 2, 3};
  p.nums = dbArray<int4>(numbers, 3);
  oid_t oid = insert(p).getOid();
  p.boss = dbReference<Person>(oid);
  p.friends = dbArray<dbReference<Person>>(&p.boss, 1);
  oid_t second = insert(p).getOid();
  byte* tableRow = db.getRow(Person::dbDescriptor.tableId);

  const char* seeds[] = {"x = 1 and name like 'a%' escape '\\'", "exists i: (nums[i] = 3 or friends[i].x = 2)",
                         "boss.boss.name || 'x' in (name, 'q') order by (x desc, length(nums))",
                         "start from first follow by boss, friends where -x ^ 2 between 1.5 and y / 0",
                         "string(w) = upper(name) -- c\n and not flag or abs(big) > 2 ^ 70",
                         "'O'Brien' is not null and born.year > current.born.day"};
  const char* pieces[] = {" ", "(", ")", "[", "]", ".", ",", "^", ":", "+", "-", "*", "/", "=", "<>", "<=",
                          ">=", "<", ">", "!", "!=", "|", "||", "'", "''", "--", "\n", "1", "2.5", "1e9",
                          "12345678901", "x", "y", "w", "big", "name", "nums", "boss", "friends", "born", "year",
                          "flag", "i", "and", "or", "not", "like", "escape", "between", "in", "is", "null",
                          "exists", "length", "lower", "upper", "abs", "integer", "real", "string", "true",
                          "false", "first", "last", "current", "start", "from", "follow", "by", "order", "asc",
                          "desc", "where", "select", "#", "\xff"};
  std::mt19937 random(20261211);
  int compiled = 0;
  for (int round = 0; round < 6000; round++) {
    std::string text;
    if (round % 2 == 0) {
      int n = random() % 24;
      for (int i = 0; i < n; i++) text += pieces[random() % std::size(pieces)];
    } else {
      text = seeds[random() % std::size(seeds)];
      for (int m = random() % 4; m >= 0; m--) {
        size_t at = random() % (text.size() + 1);
        switch (random() % 3) {
          case 0: text.insert(at, pieces[random() % std::size(pieces)]); break;
          case 1: text.erase(at, random() % 4); break;
          default: text.resize(at); break;
        }
      }
    }
    dbQuery q(text.c_str());
    int errorsBefore = db.queryErrors;
    bool ok = db.getThreadContext()->getCompiler().compile(&db, &Person::dbDescriptor, q);
    ASSERT_EQ(ok, db.queryErrors == errorsBefore) << text;
    if (!ok) continue;
    compiled++;
    ASSERT_TRUE(q.tree->type == etBoolean || q.tree->type == etVoid) << text;
    for (oid_t row : {oid, second}) {
      try {
        dbTestRecord(&db, q.tree, row, tableRow, nullptr);
      } catch (const dbException& e) {
        EXPECT_NE(e.getErrCode(), QueryError) << text;
      }
    }
  }
  EXPECT_GT(compiled, 200);  // the mutations keep enough inputs valid to reach the evaluator
  db.close();
}

}  // namespace
