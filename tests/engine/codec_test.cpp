// The record codec: stored size, pack, fetch, relocate, mark changes, the
// conversion of records stored under a former layout, and the copies that
// leave one member out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/describe.h"
#include "engine/symbol_table.h"

namespace {

const char* interned(const char* name) {
  dbSymbolTable::add(name, 0, true);
  return name;
}

struct Blob {
  byte bytes[6];
};

struct Item {
  int2 code;
  char const* label;
  TYPE_DESCRIPTOR((FIELD(code), FIELD(label)));
};

struct Everything {
  bool flag;
  int1 i1;
  int2 i2;
  int4 i4;
  int8 i8;
  real4 r4;
  real8 r8;
  char const* text;
  dbReference<Everything> self;
  dbArray<int4> numbers;
  dbArray<char const*> words;
  Item item;
  dbArray<Item> items;
  Blob blob;
  TYPE_DESCRIPTOR((FIELD(flag), FIELD(i1), FIELD(i2), FIELD(i4), FIELD(i8), FIELD(r4), FIELD(r8), FIELD(text),
                   FIELD(self), FIELD(numbers), FIELD(words), FIELD(item), FIELD(items), RAWFIELD(blob)));
};
REGISTER(Everything);

const byte* bytesOf(const void* object) { return static_cast<const byte*>(object); }

std::vector<byte> packed(dbTableDescriptor& t, const void* object) {
  size_t size = t.columns->packedSize(bytesOf(object), t.storedFixedSize);
  std::vector<byte> record(size);
  EXPECT_EQ(t.columns->pack(record.data(), bytesOf(object), t.storedFixedSize), size);
  return record;
}

bool inside(const std::vector<byte>& record, const void* p) {
  const byte* b = static_cast<const byte*>(p);
  return b >= record.data() && b < record.data() + record.size();
}

nat4 wordAt(const std::vector<byte>& record, size_t offset) {
  nat4 w;
  memcpy(&w, &record[offset], sizeof w);
  return w;
}

Everything sample() {
  const int4 numbers[] = {1, -2, 300000};
  const char* words[] = {"alpha", "", "gamma"};
  const Item items[] = {{7, "seven"}, {-8, "eight"}};
  return Everything{true,  -5,
                    -30000, 2000000000,
                    -9000000000LL, 1.5f,
                    -2.25, "text",
                    dbReference<Everything>(8194), dbArray<int4>(numbers, 3),
                    dbArray<char const*>(words, 3), Item{12, "item"},
                    dbArray<Item>(items, 2), Blob{{1, 2, 3, 4, 5, 6}}};
}

TEST(RecordCodec, RoundTripOfEveryKind) {
  dbTableDescriptor& t = Everything::dbDescriptor;
  Everything in = sample();
  std::vector<byte> record = packed(t, &in);

  Everything out{};
  t.columns->fetch(reinterpret_cast<byte*>(&out), record.data());
  EXPECT_EQ(out.flag, true);
  EXPECT_EQ(out.i1, -5);
  EXPECT_EQ(out.i2, -30000);
  EXPECT_EQ(out.i4, 2000000000);
  EXPECT_EQ(out.i8, -9000000000LL);
  EXPECT_EQ(out.r4, 1.5f);
  EXPECT_EQ(out.r8, -2.25);
  EXPECT_STREQ(out.text, "text");
  EXPECT_EQ(out.self, dbReference<Everything>(8194));
  ASSERT_EQ(out.numbers.length(), 3u);
  EXPECT_EQ(out.numbers[2], 300000);
  ASSERT_EQ(out.words.length(), 3u);
  EXPECT_STREQ(out.words[0], "alpha");
  EXPECT_STREQ(out.words[1], "");
  EXPECT_STREQ(out.words[2], "gamma");
  EXPECT_EQ(out.item.code, 12);
  EXPECT_STREQ(out.item.label, "item");
  ASSERT_EQ(out.items.length(), 2u);
  EXPECT_EQ(out.items[1].code, -8);
  EXPECT_STREQ(out.items[1].label, "eight");
  EXPECT_EQ(memcmp(out.blob.bytes, in.blob.bytes, sizeof in.blob.bytes), 0);

  // Texts and one-to-one arrays point into the record; other arrays are
  // copies whose texts still do.
  EXPECT_TRUE(inside(record, out.text));
  EXPECT_TRUE(inside(record, out.numbers.base()));
  EXPECT_FALSE(inside(record, out.words.base()));
  EXPECT_TRUE(inside(record, out.words[0]));
  EXPECT_FALSE(inside(record, out.items.base()));
  EXPECT_TRUE(inside(record, out.items[0].label));
}

TEST(RecordCodec, SlotsHoldLengthOrCountAndOffset) {
  dbTableDescriptor& t = Everything::dbDescriptor;
  Everything in = sample();
  std::vector<byte> record = packed(t, &in);
  dbFieldDescriptor* text = t.findSymbol(interned("text"));
  nat4 textOffset = wordAt(record, text->storedOffset + 4);
  EXPECT_EQ(textOffset, t.storedFixedSize);  // the first varying part
  EXPECT_EQ(wordAt(record, text->storedOffset), 5u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&record[textOffset]), "text");

  dbFieldDescriptor* numbers = t.findSymbol(interned("numbers"));
  nat4 start = wordAt(record, numbers->storedOffset + 4);
  EXPECT_EQ(wordAt(record, numbers->storedOffset), 3u);
  EXPECT_EQ(start % 4, 0u);
  EXPECT_EQ(static_cast<int4>(wordAt(record, start + 4)), -2);
}

TEST(RecordCodec, NullTextIsStoredAsTheEmptyText) {
  dbTableDescriptor& t = Everything::dbDescriptor;
  Everything in{};
  std::vector<byte> record = packed(t, &in);
  // Fixed part 102; text 1 byte; the empty arrays numbers and words start at
  // 104; item.label 1 byte; the empty items start at 108.
  EXPECT_EQ(t.storedFixedSize, 102u);
  EXPECT_EQ(record.size(), 108u);
  dbFieldDescriptor* text = t.findSymbol(interned("text"));
  EXPECT_EQ(wordAt(record, text->storedOffset), 1u);
  EXPECT_EQ(record[wordAt(record, text->storedOffset + 4)], 0);
  Everything out{};
  t.columns->fetch(reinterpret_cast<byte*>(&out), record.data());
  EXPECT_STREQ(out.text, "");
  EXPECT_STREQ(out.item.label, "");
  EXPECT_EQ(out.numbers.length(), 0u);
}

TEST(RecordCodec, RelocateMovesOnlyPointersIntoTheOldMapping) {
  dbTableDescriptor& t = Everything::dbDescriptor;
  Everything in = sample();
  std::vector<byte> oldMapping = packed(t, &in);
  Everything out{};
  t.columns->fetch(reinterpret_cast<byte*>(&out), oldMapping.data());
  const char* outside = "outside";
  out.item.label = outside;

  std::vector<byte> newMapping(oldMapping);
  ptrdiff_t delta = newMapping.data() - oldMapping.data();
  t.columns->relocate(reinterpret_cast<byte*>(&out), oldMapping.data(), oldMapping.size(), delta);
  memset(oldMapping.data(), 0, oldMapping.size());

  EXPECT_TRUE(inside(newMapping, out.text));
  EXPECT_STREQ(out.text, "text");
  EXPECT_TRUE(inside(newMapping, out.numbers.base()));
  EXPECT_EQ(out.numbers[1], -2);
  EXPECT_STREQ(out.words[2], "gamma");  // owned copy, relocated element by element
  EXPECT_STREQ(out.items[0].label, "seven");
  EXPECT_EQ(out.item.label, outside);
}

struct Keyed {
  int4 number;
  real8 amount;
  char const* name;
  int4 plain;
  TYPE_DESCRIPTOR((KEY(number, HASHED), KEY(amount, INDEXED), KEY(name, HASHED | INDEXED), FIELD(plain)));
};

TEST(RecordCodec, MarkChangesFlagsIndexedMembersThatDiffer) {
  dbTableDescriptor t("Keyed", nullptr, sizeof(Keyed), &Keyed::dbDescribeComponents<Keyed>);
  Keyed stored{1, 0.0, "same", 5};
  std::vector<byte> record = packed(t, &stored);
  struct {
    Keyed update;
    std::vector<std::string> changed;
  } cases[] = {
      {{1, 0.0, "same", 6}, {}},  // plain members are not compared
      {{2, 0.0, "same", 5}, {"number"}},
      {{1, -0.0, "same", 5}, {}},  // reals compare by value
      {{1, 0.5, "other", 5}, {"amount", "name"}},
      {{1, 0.0, nullptr, 5}, {"name"}},
  };
  for (auto& c : cases) {
    for (dbFieldDescriptor* fd = t.firstField; fd != nullptr; fd = fd->nextInTable) {
      fd->layoutFlags &= ~dbFieldDescriptor::ChangedByUpdate;
    }
    t.columns->markChanges(record.data(), bytesOf(&c.update));
    std::vector<std::string> changed;
    for (dbFieldDescriptor* fd = t.firstField; fd != nullptr; fd = fd->nextInTable) {
      if (fd->layoutFlags & dbFieldDescriptor::ChangedByUpdate) changed.push_back(fd->path);
    }
    EXPECT_EQ(changed, c.changed);
  }
}

// ---- Conversion from a former layout.

// What matching a stored table does before converting: each member takes
// the type, offset and size of the stored member of the same path.
void matchFormer(dbTableDescriptor& current, dbTableDescriptor& former) {
  for (dbFieldDescriptor* fd = current.firstField; fd != nullptr; fd = fd->nextInTable) {
    fd->formerType = tpAbsent;
    for (dbFieldDescriptor* old = former.firstField; old != nullptr; old = old->nextInTable) {
      if (old->path == fd->path) {
        fd->formerType = old->storedType;
        fd->formerOffset = old->storedOffset;
        fd->formerSize = old->storedSize;
      }
    }
  }
}

template <class New, class Old>
std::vector<byte> converted(const Old& object, New& result) {
  dbTableDescriptor oldTable("Evolving", nullptr, sizeof(Old), &Old::template dbDescribeComponents<Old>);
  dbTableDescriptor newTable("Evolving", nullptr, sizeof(New), &New::template dbDescribeComponents<New>);
  matchFormer(newTable, oldTable);
  std::vector<byte> oldRecord = packed(oldTable, &object);
  size_t size = newTable.columns->convertedSize(oldRecord.data(), oldRecord.size(), newTable.storedFixedSize);
  std::vector<byte> newRecord(size);
  EXPECT_EQ(newTable.columns->convert(newRecord.data(), oldRecord.data(), newTable.storedFixedSize), size);
  newTable.columns->fetch(reinterpret_cast<byte*>(&result), newRecord.data());
  return newRecord;
}

struct AccountV1 {
  int4 balance;
  char const* owner;
  int4 ratio;
  dbArray<int4> history;
  dbArray<Item> items;
  TYPE_DESCRIPTOR((FIELD(balance), FIELD(owner), FIELD(ratio), FIELD(history), FIELD(items)));
};

struct AccountV2 {
  char const* note;  // new
  int2 balance;      // was int4
  char const* owner;
  real8 ratio;             // was int4
  dbArray<int8> history;   // elements were int4
  dbArray<Item> items;
  dbArray<int4> added;     // new
  TYPE_DESCRIPTOR((FIELD(note), FIELD(balance), FIELD(owner), FIELD(ratio), FIELD(history), FIELD(items),
                   FIELD(added)));
};

TEST(RecordCodec, ConvertsRecordsOfAFormerLayout) {
  const int4 history[] = {-1, 70000};
  const Item items[] = {{3, "three"}};
  AccountV1 v1{70000, "chen", 7, dbArray<int4>(history, 2), dbArray<Item>(items, 1)};
  AccountV2 v2{};
  std::vector<byte> record = converted(v1, v2);  // v2 points into it
  EXPECT_STREQ(v2.note, "");               // a new text reads as the empty text
  EXPECT_EQ(v2.balance, 70000 - 65536);    // the low two bytes
  EXPECT_STREQ(v2.owner, "chen");
  EXPECT_EQ(v2.ratio, 7.0);
  ASSERT_EQ(v2.history.length(), 2u);
  EXPECT_EQ(v2.history[0], -1);  // sign-extended
  EXPECT_EQ(v2.history[1], 70000);
  ASSERT_EQ(v2.items.length(), 1u);
  EXPECT_STREQ(v2.items[0].label, "three");
  EXPECT_EQ(v2.added.length(), 0u);
}

// One scalar of each kind, for the conversion table.
template <class T>
struct One {
  T value;
  TYPE_DESCRIPTOR((FIELD(value)));
};
struct NoValue {
  char const* other;
  TYPE_DESCRIPTOR((FIELD(other)));
};

template <class New, class Old>
New convertOne(Old value) {
  One<New> result{};
  converted(One<Old>{value}, result);
  return result.value;
}
template <class New>
New convertAbsent() {
  One<New> result{};
  converted(NoValue{"x"}, result);
  return result.value;
}

TEST(RecordCodec, ScalarConversionTable) {
  // To boolean: not zero.
  EXPECT_EQ(convertOne<bool>(int4{5}), true);
  EXPECT_EQ(convertOne<bool>(int8{0}), false);
  EXPECT_EQ(convertOne<bool>(int8{1} << 40), true);
  EXPECT_EQ(convertOne<bool>(real8{0.25}), true);
  EXPECT_EQ(convertOne<bool>(real4{0.0f}), false);
  EXPECT_EQ(convertAbsent<bool>(), false);
  // To int1, int2, int4: zero-extended, sign-extended or cut; reals truncated.
  EXPECT_EQ(convertOne<int1>(true), 1);
  EXPECT_EQ(convertOne<int4>(int1{-3}), -3);
  EXPECT_EQ(convertOne<int2>(int4{70000}), 4464);
  EXPECT_EQ(convertOne<int2>(int4{-2}), -2);
  EXPECT_EQ(convertOne<int2>(int8{0x123456789LL}), 0x6789);
  EXPECT_EQ(convertOne<int4>(real8{-7.9}), -7);
  EXPECT_EQ(convertOne<int1>(real4{300.5f}), 44);  // 300 cut to its low byte
  EXPECT_EQ(convertOne<int4>(real8{NAN}), 0);
  EXPECT_EQ(convertAbsent<int4>(), 0);
  // To int8.
  EXPECT_EQ(convertOne<int8>(true), 1);
  EXPECT_EQ(convertOne<int8>(int2{-5}), -5);
  EXPECT_EQ(convertOne<int8>(real8{-2.5}), -2);
  EXPECT_EQ(convertOne<int8>(real8{1e30}), INT64_MAX);
  EXPECT_EQ(convertAbsent<int8>(), 0);
  // To reals.
  EXPECT_EQ(convertOne<real4>(int1{-3}), -3.0f);
  EXPECT_EQ(convertOne<real8>(int4{7}), 7.0);
  EXPECT_EQ(convertOne<real8>(int8{-9000000000LL}), -9e9);
  EXPECT_EQ(convertOne<real8>(true), 1.0);
  EXPECT_EQ(convertOne<real4>(real8{0.1}), 0.1f);  // rounded
  EXPECT_EQ(convertOne<real8>(real4{0.5f}), 0.5);
  EXPECT_EQ(convertAbsent<real8>(), 0.0);
}

struct Target {
  int4 x;
  TYPE_DESCRIPTOR((FIELD(x)));
};
REGISTER(Target);

struct Typed {
  int4 number;
  char const* text;
  dbReference<Target> ref;
  dbArray<int4> numbers;
  Item item;
  TYPE_DESCRIPTOR((FIELD(number), FIELD(text), FIELD(ref), FIELD(numbers), FIELD(item)));
};

TEST(RecordCodec, ConvertibleTypes) {
  dbTableDescriptor t("Typed", nullptr, sizeof(Typed), &Typed::dbDescribeComponents<Typed>);
  auto field = [&](const char* name) { return t.findSymbol(interned(name)); };
  struct {
    const char* member;
    int oldType;
    const char* oldTarget;
    bool convertible;
  } cases[] = {
      {"number", tpBool, nullptr, true},     {"number", tpReal8, nullptr, true},
      {"number", tpString, nullptr, false},  {"number", tpReference, "Target", false},
      {"text", tpString, nullptr, true},     {"text", tpInt4, nullptr, false},
      {"ref", tpReference, "Target", true},  {"ref", tpReference, "Other", false},
      {"ref", tpInt4, nullptr, false},       {"numbers", tpArray, nullptr, true},
      {"numbers", tpStructure, nullptr, false}, {"item", tpStructure, nullptr, true},
      {"item", tpArray, nullptr, false},     {"text", tpAbsent, nullptr, true},
  };
  for (auto& c : cases) {
    EXPECT_EQ(field(c.member)->canConvertFrom(c.oldType, c.oldTarget), c.convertible)
        << c.member << " from " << c.oldType;
  }
}

// ---- Repacking a record without one member, as growing an array of
// inverse references in place needs.

struct Holder {
  char const* before;
  dbArray<dbReference<Target>> refs;
  char const* after;
  TYPE_DESCRIPTOR((FIELD(before), FIELD(refs), FIELD(after)));
};

TEST(RecordCodec, CopyWithoutOneMember) {
  dbTableDescriptor t("Holder", nullptr, sizeof(Holder), &Holder::dbDescribeComponents<Holder>);
  const dbReference<Target> refs[] = {dbReference<Target>(9000), dbReference<Target>(9001)};
  Holder h{"first", dbArray<dbReference<Target>>(refs, 2), "last"};
  std::vector<byte> record = packed(t, &h);
  dbFieldDescriptor* member = t.findSymbol(interned("refs"));

  // The texts without the array: 36 + "first" + "last".
  size_t end = t.columns->varyingSizeWithout(member, record.data(), t.storedFixedSize);
  EXPECT_EQ(end, 36u + 6 + 5);

  size_t b = dbAlign<size_t>(end, 4);
  std::vector<byte> copy(b + 8, 0xEE);
  EXPECT_EQ(t.columns->copyWithout(member, copy.data(), record.data(), t.storedFixedSize), end);
  // The caller fills the left-out slot and places the elements.
  EXPECT_EQ(wordAt(copy, member->storedOffset), 0xEEEEEEEEu);
  nat4 words[2] = {2, static_cast<nat4>(b)};
  memcpy(&copy[member->storedOffset], words, sizeof words);
  memcpy(&copy[b], &record[wordAt(record, member->storedOffset + 4)], 8);

  Holder out{};
  t.columns->fetch(reinterpret_cast<byte*>(&out), copy.data());
  EXPECT_STREQ(out.before, "first");
  EXPECT_STREQ(out.after, "last");
  ASSERT_EQ(out.refs.length(), 2u);
  EXPECT_EQ(out.refs[1].getOid(), 9001u);
}

}  // namespace
