// The evaluator on records stored in a real database: values of every node
// family, the run-time errors, LIKE, substring search, EXISTS and its bound,
// and selects through cursors.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/datetime.h"
#include "engine/describe.h"
#include "engine/query/compiler.h"
#include "engine/query/cursor.h"
#include "engine/query/evaluator.h"
#include "tests/support/error_capture.h"
#include "tests/support/temp_dir.h"

namespace {

struct Sample {
  int4 x;
  int2 small;
  int8 big;
  real4 f;
  real8 w;
  bool flag;
  char const* name;
  dbArray<int4> nums;
  dbArray<int1> bytes;
  dbArray<real8> reals;
  dbArray<bool> flags;
  dbArray<char const*> words;
  dbReference<Sample> boss;
  dbArray<dbReference<Sample>> friends;
  dbDateTime born;
  struct Code {
    char bytes[2];
  } code;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(small), FIELD(big), FIELD(f), FIELD(w), FIELD(flag), FIELD(name), FIELD(nums),
                   FIELD(bytes), FIELD(reals), FIELD(flags), FIELD(words), FIELD(boss), FIELD(friends), FIELD(born), RAWFIELD(code)));
};

struct Pair {
  int4 x;
  TYPE_DESCRIPTOR((FIELD(x)));
};

}  // namespace

REGISTER(Sample);
REGISTER(Pair);

namespace {

// A value converted out of the context that held it.
struct Result {
  nat1 type;
  int8 i = 0;
  real8 f = 0;
  std::string s;
  oid_t oid = 0;
};

class EvaluatorTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string dbName = uniqueName("eval");
  RecordingDatabase db;
  oid_t first = 0, second = 0, third = 0;

  void SetUp() override {
    ASSERT_TRUE(db.open(dbName.c_str(), dir.file("eval.rvd").c_str()));
    int4 nums[] = {1, 2, 3};
    int1 bytes[] = {-1, 5};
    real8 reals[] = {0.5, 2.25};
    bool flags[] = {false};
    const char* words[] = {"one", "three"};
    Sample s{};
    s.x = 1;
    s.small = -300;
    s.big = 5000000000;
    s.f = 0.5f;
    s.w = 2.5;
    s.name = "alpha";
    s.nums = dbArray<int4>(nums, 3);
    s.bytes = dbArray<int1>(bytes, 2);
    s.reals = dbArray<real8>(reals, 2);
    s.flags = dbArray<bool>(flags, 1);
    s.words = dbArray<const char*>(words, 2);
    s.born = dbDateTime(1593604800);  // 2020-07-01 12:00 UTC: July 1 in every time zone
    s.code = {{'b', 'b'}};
    first = insert(s).getOid();

    Sample t{};
    t.x = 2;
    t.name = "beta";
    t.flag = true;
    t.boss = dbReference<Sample>(first);
    int4 more[] = {7, 8};
    t.nums = dbArray<int4>(more, 2);
    t.code = {{'a', 'z'}};
    second = insert(t).getOid();

    Sample u{};
    u.x = 99;
    u.name = "O'Brien";
    u.boss = dbReference<Sample>(second);
    dbReference<Sample> friends[] = {dbReference<Sample>(first), dbReference<Sample>(second)};
    u.friends = dbArray<dbReference<Sample>>(friends, 2);
    int4 ones[] = {5, 1};
    u.nums = dbArray<int4>(ones, 2);
    u.code = {{'c', 'a'}};
    third = insert(u).getOid();
  }
  void TearDown() override { db.close(); }

  byte* tableRow() { return db.getRow(Sample::dbDescriptor.tableId); }

  // The value of expr for the record oid, compiled as an ORDER BY expression
  // (in parentheses, which the ORDER BY item takes as its own).
  Result eval(const std::string& expr, oid_t oid = 0) {
    std::string text = "order by (" + expr + ")";
    dbQuery q(text.c_str());
    Result r{etVoid, 0, 0, "", 0};
    if (!db.getThreadContext()->getCompiler().compile(&db, &Sample::dbDescriptor, q)) {
      ADD_FAILURE() << "does not compile: " << expr;
      return r;
    }
    if (q.order->expr == nullptr) {
      ADD_FAILURE() << "a plain field: " << expr;
      return r;
    }
    if (oid == 0) oid = first;
    dbInheritedAttribute attr(&db, db.getRow(oid), oid, tableRow(), nullptr);
    dbExprValue v;
    dbEvaluate(q.order->expr, attr, v);
    r.type = q.order->expr->type;
    switch (r.type) {
      case etInteger: r.i = v.ivalue; break;
      case etBoolean: r.i = v.bvalue != 0; break;
      case etReal: r.f = v.fvalue; break;
      case etString:
        r.s = std::string(v.str.base, v.str.size - 1);
        EXPECT_EQ(v.str.base[v.str.size - 1], '\0') << expr;
        break;
      default: r.oid = v.oid; break;
    }
    return r;
  }
  int8 integer(const std::string& expr) {
    Result r = eval(expr);
    EXPECT_EQ(r.type, etInteger) << expr;
    return r.i;
  }
  bool boolean(const std::string& expr, oid_t oid = 0) {
    Result r = eval(expr, oid);
    EXPECT_EQ(r.type, etBoolean) << expr;
    return r.i != 0;
  }
  // The exception that evaluating expr throws, or one with class -1.
  dbException failure(const std::string& expr, oid_t oid = 0) {
    try {
      eval(expr, oid);
    } catch (const dbException& e) {
      return e;
    }
    return dbException(-1);
  }
  // The identifiers a cursor selects with the condition.
  std::vector<oid_t> select(dbQuery& q) {
    dbCursor<Sample> cursor;
    std::vector<oid_t> oids;
    if (cursor.select(q, dbViewOnly) > 0) {
      do {
        oids.push_back(cursor.currentId());
      } while (cursor.next());
    }
    return oids;
  }
  std::vector<oid_t> select(const char* condition) {
    dbQuery q(condition);
    return select(q);
  }
};

TEST_F(EvaluatorTest, IntegerArithmeticAndPower) {
  struct Case {
    const char* expr;
    int8 value;
  };
  const Case cases[] = {
      {"2 ^ 10", 1024}, {"2 ^ 64", 0},   {"2 ^ -1", 0},   {"3 ^ -1", 0},    {"(-1) ^ -3", -1}, {"1 ^ -5", 1},
      {"2 ^ 63", INT64_MIN}, {"3 ^ 4", 81}, {"(-3) ^ 3", -27}, {"0 ^ 0", 1}, {"10 ^ 0", 1},
      {"7 / 2", 3},     {"-7 / 2", -3},  {"7 - 10", -3},  {"6 * -7", -42},  {"abs(-5)", 5},
      {"abs(-9223372036854775807 - 1)", INT64_MIN},  // the most negative value stays
      {"(-9223372036854775807 - 1) / -1", INT64_MIN},  // wraps instead of trapping
      {"9223372036854775807 + 1", INT64_MIN},
      {"12 and 10", 8}, {"12 or 3", 15},  {"not 0", -1},   {"-x", -1},       {"x + big", 5000000001},
      {"small - 1", -301},  {"length('abc')", 3}, {"length('')", 0}, {"length(nums) + 0", 3}, {"'abc'[0]", 97},
      {"name[4]", 'a'}, {"nums[2]", 3},  {"bytes[0]", -1},  {"integer(2.9)", 2}, {"integer(-2.9)", -2},
      {"born.month", 7}, {"born.year", 2020}, {"born.stamp + 0", 1593604800},
  };
  for (const Case& c : cases) EXPECT_EQ(integer(c.expr), c.value) << c.expr;
}

TEST_F(EvaluatorTest, RealArithmeticConversionsAndStrings) {
  EXPECT_EQ(eval("(-8.0) ^ 2").f, 64.0);
  EXPECT_EQ(eval("2.0 ^ -2").f, 0.25);
  EXPECT_EQ(eval("4.0 ^ 0.5").f, 2.0);
  EXPECT_EQ(eval("2 ^ 0.5").f, std::pow(2.0, 0.5));
  EXPECT_EQ(eval("7.0 / 2").f, 3.5);
  EXPECT_EQ(eval("abs(-w)").f, 2.5);
  EXPECT_EQ(eval("f + w").f, 3.0);
  EXPECT_EQ(eval("real(x) / 4").f, 0.25);
  EXPECT_EQ(eval("reals[1]").f, 2.25);
  struct Case {
    const char* expr;
    const char* value;
  };
  const Case strings[] = {
      {"string(5)", "5"},          {"string(-42)", "-42"},     {"string(1.5)", "1.500000"},
      {"string(big)", "5000000000"}, {"upper(name)", "ALPHA"}, {"lower('MiXed')", "mixed"},
      {"name + '-' + 'x'", "alpha-x"}, {"'' || ''", ""},        {"string(x) + name", "1alpha"},
  };
  for (const Case& c : strings) EXPECT_EQ(eval(c.expr).s, c.value) << c.expr;
}

TEST_F(EvaluatorTest, RunTimeErrorsThrowThroughTheHandler) {
  struct Case {
    const char* expr;
    int error;
    const char* message;
    int arg;
  };
  const Case cases[] = {
      {"7 / 0", ArithmeticError, "Division by zero", 0},
      {"7.0 / 0", ArithmeticError, "Division by zero", 0},
      {"x / (x - 1)", ArithmeticError, "Division by zero", 0},
      {"0 ^ -1", ArithmeticError, "Raise zero to negative power", 0},
      {"0.0 ^ -1", ArithmeticError, "Raise zero to negative power", 0},
      {"0.0 ^ -1.5", ArithmeticError, "Raise zero to negative power", 0},
      {"(-8.0) ^ 0.5", ArithmeticError, "Power operator returns complex result", 0},
      {"(-8.0) ^ 2.0", ArithmeticError, "Power operator returns complex result", 0},
      {"'abc'[3]", IndexOutOfRange, "Index 3 is out of range", 3},
      {"'abc'[-1]", IndexOutOfRange, "Index -1 is out of range", -1},
      {"nums[3]", IndexOutOfRange, "Index 3 is out of range", 3},
      {"boss.x", NullReference, "Null object reference is accessed", 0},
  };
  for (const Case& c : cases) {
    db.errors.clear();
    dbException e = failure(c.expr);
    EXPECT_EQ(e.getErrCode(), c.error) << c.expr;
    EXPECT_STREQ(e.getMsg(), c.message) << c.expr;
    EXPECT_EQ(e.getArg(), c.arg) << c.expr;
    ASSERT_EQ(db.errors.size(), 1u) << c.expr;
    EXPECT_EQ(db.errors[0].error, c.error);
  }
}

TEST_F(EvaluatorTest, ComparisonsAndLike) {
  struct Case {
    const char* expr;
    bool value;
  };
  const Case cases[] = {
      {"'b' like 'b%'", true},       {"'ba' like '%a'", true},        {"'ac' like 'a_c'", false},
      {"'abc' like 'a_c'", true},    {"'' like '%'", true},           {"'' like '%%'", true},
      {"'' like '_'", false},        {"'abc' like 'abc'", true},      {"'abc' like 'ab'", false},
      {"'ab' like 'abc'", false},    {"'Abc' like 'abc'", false},     {"'xaxb' like '%a%b'", true},
      {"'aXbXc' like 'a%c'", true},  {"'abab' like '%ab'", true},     {"'abcb' like '%b%c'", false},
      {"'100%' like '100\\%' escape '\\'", true},
      {"'1000' like '100\\%' escape '\\'", false},
      {"'100' like '100\\%' escape '\\'", false},
      {"'a_b' like 'a!_b' escape '!'", true},
      {"'axb' like 'a!_b' escape '!'", false},
      {"'bc' in 'abcd'", true},      {"'abcde' in 'abc'", false},     {"'' in 'abc'", true},
      {"'d' in 'abc'", false},       {"'abc' in 'abc'", true},
      {"x = 1", true},               {"big > 4999999999", true},      {"w >= 2.5", true},
      {"w < 2.5", false},            {"f = 0.5", true},               {"'abc' < 'abd'", true},
      {"name = 'alpha'", true},      {"name <> 'alpha'", false},      {"name >= 'alpha'", true},
      {"x between 1 and 1", true},   {"x between 2 and 1 / 0", false},  // the upper bound is not evaluated
      {"w between 2 and 3", true},   {"name between 'a' and 'b'", true}, {"name between 'b' and 'c'", false},
      {"flag = false", true},        {"flag <> true", true},          {"boss = null", true},
      {"boss is null", true},        {"boss is not null", false},     {"current = first", true},
      {"last <> first", true},       {"2 in nums", true},             {"4 in nums", false},
      {"4294967298 in nums", true},  // low 32 bits
      {"-1 in bytes", true},         {"255 in bytes", true},          {"0.5 in reals", true},
      {"'three' in words", true},    {"'thre' in words", false},      {"words[1] = 'three'", true},
      {"length(words[0]) = 3", true}, {"exists i: ('hre' in words[i])", true},
      {"false in flags", true},      {"true in flags", false},        {"x in (5, 1)", true},
      {"x in (5.0, 1.0)", true},     {"x in (5, 6)", false},          {"name in ('a', 'alpha')", true},
      {"not x = 2", true},           {"x = 2 or w = 2.5", true},      {"x = 1 and w = 3", false},
      {"x = 2 and 1 / 0 = 1", false},  // AND stops at the false operand
      {"x = 1 or 1 / 0 = 1", true},
      {"length(nums) = 3 and nums[0] = 1", true},
  };
  for (const Case& c : cases) EXPECT_EQ(boolean(c.expr), c.value) << c.expr;
}

TEST_F(EvaluatorTest, NaNComparesAsTheNegationsSay) {
  // < is computed as not >= and <= as not >, so a NaN operand makes both true.
  const std::string nan = "(1e308 * 10 - 1e308 * 10)";
  EXPECT_TRUE(boolean(nan + " < 1.0"));
  EXPECT_TRUE(boolean(nan + " <= 1.0"));
  EXPECT_FALSE(boolean(nan + " > 1.0"));
  EXPECT_FALSE(boolean(nan + " >= 1.0"));
  EXPECT_FALSE(boolean(nan + " = " + nan));
  EXPECT_TRUE(boolean(nan + " between 0.0 and 1.0"));
  EXPECT_EQ(integer("integer(" + nan + ")"), INT64_MIN);  // no undefined conversion
}

// Whether text matches pattern, by trying every split at every "%".
bool likeByRecursion(const char* text, const char* pattern, char escape) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '%') {
    for (const char* t = text;; t++) {
      if (likeByRecursion(t, pattern + 1, escape)) return true;
      if (*t == '\0') return false;
    }
  }
  if (*text == '\0') return false;
  if (*pattern == escape && pattern[1] != '\0') return pattern[1] == *text && likeByRecursion(text + 1, pattern + 2, escape);
  return (*pattern == '_' || *pattern == *text) && likeByRecursion(text + 1, pattern + 1, escape);
}

TEST_F(EvaluatorTest, LikeAgreesWithMatchingByRecursion) {
  std::mt19937 random(42);
  for (int round = 0; round < 3000; round++) {
    std::string text(random() % 9, 'a');
    for (char& c : text) c = "abc"[random() % 3];
    std::string pattern(random() % 7, 'a');
    for (char& c : pattern) c = "ab%_!"[random() % 5];
    if (!pattern.empty() && pattern.back() == '!') pattern.pop_back();  // an escape needs a character
    char escape = round % 2 ? '!' : '\0';
    std::string expr = "'" + text + "' like '" + pattern + "'" + (escape ? " escape '!'" : "");
    EXPECT_EQ(boolean(expr), likeByRecursion(text.c_str(), pattern.c_str(), escape)) << expr;
  }
}

TEST_F(EvaluatorTest, SubstringSearchAboveFiveHundredTwelveBytes) {
  std::mt19937 random(512);
  for (int round = 0; round < 300; round++) {
    std::string text(513 + random() % 400, 'a');
    for (char& c : text) c = "ab"[random() % 2];
    std::string pattern(1 + random() % 8, 'a');
    for (char& c : pattern) c = "abc"[random() % 3 == 0 ? 2 : random() % 2];
    bool expected = text.find(pattern) != std::string::npos;
    EXPECT_EQ(boolean("'" + pattern + "' in '" + text + "'"), expected) << pattern;
  }
  std::string longText(3000, 'x');
  longText += "needle";
  EXPECT_TRUE(boolean("'needle' in '" + longText + "'"));
  EXPECT_TRUE(boolean("'xne' in '" + longText + "'"));
  EXPECT_FALSE(boolean("'needles' in '" + longText + "'"));
  EXPECT_TRUE(boolean("'' in '" + longText + "'"));
}

TEST_F(EvaluatorTest, TemporaryStringsOverflowTheScratchAreaIntoHeapBlocks) {
  std::string part(4000, 'q');
  EXPECT_EQ(integer("length('" + part + "' + '" + part + "' + '" + part + "')"), 12000);
  EXPECT_EQ(eval("upper('" + part + "') + lower('" + part + "')").s, std::string(4000, 'Q') + part);

  dbInheritedAttribute attr(&db, db.getRow(first), first, tableRow(), nullptr);
  char* a = attr.allocateString(8000);
  char* b = attr.allocateString(192);
  EXPECT_EQ(b, a + 8000);  // exactly fills the 8192 bytes
  EXPECT_EQ(attr.overflowCount(), 0);
  char* c = attr.allocateString(1);
  EXPECT_EQ(attr.overflowCount(), 1);
  c[0] = 'z';
  attr.releaseStrings();
  EXPECT_EQ(attr.overflowCount(), 0);
  EXPECT_EQ(attr.allocateString(10), a);
}

TEST_F(EvaluatorTest, ReferencesAndDereference) {
  EXPECT_TRUE(boolean("boss.x = 1", second));
  EXPECT_TRUE(boolean("boss.boss.name = 'alpha'", third));
  EXPECT_TRUE(boolean("friends[1] = boss", third));
  EXPECT_TRUE(boolean("friends[1].boss = friends[0]", third));
  EXPECT_TRUE(boolean("boss in friends", third));
  EXPECT_TRUE(boolean("current in friends", third) == false);
  dbException e = failure("boss.boss.x", second);
  EXPECT_EQ(e.getErrCode(), NullReference);
  EXPECT_EQ(db.lastMessage(), "");  // the handler got the class; it prints the text itself
}

TEST_F(EvaluatorTest, ExistsFindsAnElementAndStopsAtTheEndOfTheArray) {
  EXPECT_TRUE(boolean("exists i: (nums[i] = 3)"));
  EXPECT_FALSE(boolean("exists i: (nums[i] = 4)"));
  EXPECT_TRUE(boolean("exists i: (friends[i].x = 2)", third));
  EXPECT_TRUE(boolean("exists i: exists j: (nums[i] = nums[j] + 2)"));  // 3 = 1 + 2
  EXPECT_FALSE(boolean("exists i: exists j: (nums[i] = nums[j] + 5)"));
  EXPECT_TRUE(boolean("exists i: (name[i] = 112)"));  // 'p' in alpha
  // The body indexes only when x = 99: for the other records no iteration
  // depends on the variable, and the loop must end rather than repeat.
  const char* guarded = "exists i: (x = 99 and nums[i] = 1)";
  EXPECT_FALSE(boolean(guarded, first));
  EXPECT_TRUE(boolean(guarded, third));
  EXPECT_EQ(select(guarded), std::vector<oid_t>{third});
  const char* sometimes = "exists i: (length(name) = 4 or nums[i] = 7)";
  EXPECT_EQ(select(sometimes), std::vector<oid_t>{second});
}

TEST_F(EvaluatorTest, SelectScansTheRowsWithParametersAndBase) {
  EXPECT_EQ(select("x >= 2"), (std::vector<oid_t>{second, third}));
  EXPECT_EQ(select(""), (std::vector<oid_t>{first, second, third}));
  // Compiled as name like '%O': no name ends in O, not even O'Brien.
  EXPECT_EQ(select("name like '%O'Brien%'"), std::vector<oid_t>{});
  EXPECT_EQ(select("name like '%O%'"), std::vector<oid_t>{third});
  EXPECT_EQ(select("name like '%ta'"), std::vector<oid_t>{second});
  EXPECT_EQ(select("boss = null"), std::vector<oid_t>{first});
  EXPECT_EQ(select("x = "), std::vector<oid_t>{}) << "a query that does not compile selects nothing";

  int4 limit = 2;
  const char* text = "beta";
  char chars[8] = "alpha";
  dbReference<Sample> ref(first);
  dbQuery byValue("x < ", &limit, " or name = ", &text, " or ", &chars, " = name or boss = ", &ref);
  EXPECT_EQ(select(byValue), (std::vector<oid_t>{first, second}));
  limit = 100;
  EXPECT_EQ(select(byValue), (std::vector<oid_t>{first, second, third}));

  struct Filter {
    int4 low;
    int4 high;
  } filter{2, 50};
  dbQuery byBase("x between ", dbParameterAt<int4>(offsetof(Filter, low)), " and ",
                 dbParameterAt<int4>(offsetof(Filter, high)));
  dbCursor<Sample> cursor;
  EXPECT_EQ(cursor.select(byBase, dbViewOnly, &filter), 1);
  EXPECT_EQ(cursor.currentId(), second);

  char key[2] = {'b', 'b'};
  dbQuery raw("code >= ", dbRawParameter{key});
  EXPECT_EQ(select(raw), (std::vector<oid_t>{first, third}));
  dbQuery rawBelow(dbRawParameter{key}, " > code");
  EXPECT_EQ(select(rawBelow), std::vector<oid_t>{second});
  char high[2] = {'b', 'z'};
  dbQuery rawBetween("code between ", dbRawParameter{key}, " and ", dbRawParameter{high});
  EXPECT_EQ(select(rawBetween), std::vector<oid_t>{first});

  cursor.setMaxRecords(1);
  EXPECT_EQ(cursor.select(byValue, dbViewOnly), 1);
}

// A handler that returns for every class still must not let the evaluation
// go on with a meaningless value.
class ReturningDatabase : public dbDatabase {
 public:
  int reported = 0;
  void handleError(dbErrorClass, const char*, int) override { reported++; }
};

TEST(EvaluatorHandlerTest, ErrorsThrowEvenWhenTheHandlerReturns) {
  ReturningDatabase db;
  dbQueryCompiler compiler;
  dbQuery q("'abc'[5] = 1 or 1 / 0 = 1");
  ASSERT_TRUE(compiler.compile(&db, &Sample::dbDescriptor, q));
  byte record[64] = {};
  dbInheritedAttribute attr(&db, record, 0, nullptr, nullptr);
  dbExprValue v;
  try {
    dbEvaluate(q.tree, attr, v);
    ADD_FAILURE() << "no exception";
  } catch (const dbException& e) {
    EXPECT_EQ(e.getErrCode(), IndexOutOfRange);
    EXPECT_EQ(e.getArg(), 5);
  }
  EXPECT_EQ(db.reported, 1);
}

TEST_F(EvaluatorTest, QueryIsRecompiledForTheTableOfEachCursor) {
  oid_t pair = insert(Pair{1}).getOid();
  dbQuery q("x = 1");
  EXPECT_EQ(select(q), std::vector<oid_t>{first});
  EXPECT_EQ(q.table, &Sample::dbDescriptor);
  dbCursor<Pair> pairs;
  EXPECT_EQ(pairs.select(q, dbViewOnly), 1);
  EXPECT_EQ(pairs.currentId(), pair);
  EXPECT_EQ(q.table, &Pair::dbDescriptor);
  dbExprNode* tree = q.tree;
  EXPECT_EQ(pairs.select(q, dbViewOnly), 1);
  EXPECT_EQ(q.tree, tree) << "compiled once per table";
}

TEST_F(EvaluatorTest, FailedCompilationBeginsNoTransaction) {
  db.commit();
  dbDatabaseThreadContext* ctx = db.getThreadContext();
  ASSERT_FALSE(ctx->readAccess || ctx->writeAccess);
  dbCursor<Sample> cursor;
  EXPECT_EQ(cursor.select("x = 'a'"), 0);
  EXPECT_FALSE(ctx->readAccess || ctx->writeAccess);
  EXPECT_EQ(db.lastMessage(), "operands of relation operator should be of integer, real or string type");
  EXPECT_EQ(cursor.select("x = 1"), 1);
  EXPECT_TRUE(ctx->readAccess);
}

TEST_F(EvaluatorTest, ErrorDuringTheScanLeavesTheSelectByException) {
  dbCursor<Sample> cursor;
  dbQuery q("boss.x > 0");
  EXPECT_THROW(cursor.select(q, dbViewOnly), dbException);
}

}  // namespace
