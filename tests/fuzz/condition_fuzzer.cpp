// libFuzzer target: any text compiles or fails with a query error, and every
// condition that compiles evaluates on a stored record or fails with an
// engine error, never with a crash.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/datetime.h"
#include "engine/describe.h"
#include "engine/query/compiler.h"
#include "engine/query/evaluator.h"
#include "engine/table_record.h"

namespace {

struct Sample {
  int4 x;
  int8 big;
  real8 w;
  bool flag;
  char const* name;
  dbArray<int4> nums;
  dbArray<char const*> words;
  dbReference<Sample> boss;  // null: the record lives outside any database
  dbArray<dbReference<Sample>> friends;
  dbDateTime born;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(big), FIELD(w), FIELD(flag), FIELD(name), FIELD(nums), FIELD(words), FIELD(boss),
                   FIELD(friends), FIELD(born)));
};

// Reports query errors without printing; throws every other class.
class QuietDatabase : public dbDatabase {
 public:
  void handleError(dbErrorClass error, const char* msg, int arg) override {
    if (error != QueryError) throw dbException(error, msg, arg);
  }
};

struct Fixture {
  QuietDatabase db;
  dbQueryCompiler compiler;
  std::vector<byte> record;
  dbTable tableRow{};

  Fixture() {
    Sample s{};
    s.x = 3;
    s.name = "fuzz";
    int4 nums[] = {1, 2, 3};
    s.nums = dbArray<int4>(nums, 3);
    const char* words[] = {"a", "bc"};
    s.words = dbArray<const char*>(words, 2);
    s.born = dbDateTime(1000000000);
    dbTableDescriptor& table = Sample::dbDescriptor;
    record.resize(table.columns->packedSize(reinterpret_cast<byte*>(&s), table.storedFixedSize));
    table.columns->pack(record.data(), reinterpret_cast<byte*>(&s), table.storedFixedSize);
  }
};

}  // namespace

REGISTER(Sample);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  std::string text(reinterpret_cast<const char*>(data), size);
  dbQuery q(text.c_str());
  if (!f.compiler.compile(&f.db, &Sample::dbDescriptor, q)) return 0;
  dbInheritedAttribute attr(&f.db, f.record.data(), 0, reinterpret_cast<byte*>(&f.tableRow), nullptr);
  dbExprValue value;
  try {
    dbEvaluate(q.tree, attr, value);
    for (dbOrderByNode* o = q.order; o != nullptr; o = o->next) {
      if (o->expr != nullptr) dbEvaluate(o->expr, attr, value);
    }
  } catch (const dbException&) {
  }
  return 0;
}
