#include "net/json_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(JsonWriterTest, StringBytesFollowTheWireRules) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"a\"b/c\\d", R"("a\"b\/c\\d")"},
      {"http://x/y", R"("http:\/\/x\/y")"},
      {std::string("\x01\x1f\x7f", 3), std::string("\"\x01\x1f\x7f\"", 5)},  // other controls raw
      {std::string("nul\0in", 6), std::string("\"nul\0in\"", 8)},
      {"\xE4\xB8\xAD\"\xE6\x96\x87\\", "\"\xE4\xB8\xAD\\\"\xE6\x96\x87\\\\\""},  // raw UTF-8, never \u
      {"\xFF\x80", "\"\xFF\x80\""},
  };
  for (const Case& c : cases) EXPECT_EQ(serialize(JsonValue(c.text)), c.written) << c.text;
}

TEST(JsonWriterTest, MembersKeepInsertionOrderAndKeysAreEscaped) {
  JsonValue root = JsonValue::object();
  root.put("z", JsonValue("1"));
  root.put("a/b", JsonValue("2"));
  root.put("z", JsonValue("3"));  // appended, the first "z" stays
  root.put("", JsonValue::array());
  EXPECT_EQ(serialize(root), R"({"z":"1","a\/b":"2","z":"3","":[]})");
}

TEST(JsonWriterTest, NestedValuesCanBeFilledAfterTheirParentGrows) {
  JsonValue root = JsonValue::object();
  JsonValue& list = root.put("list", JsonValue::array());
  JsonValue& data = root.put("data", JsonValue::object());
  for (int i = 0; i < 100; i++) root.put("k" + std::to_string(i), JsonValue("v"));
  JsonValue& first = list.append(JsonValue::object());
  list.append(JsonValue("s"));
  first.put("x", JsonValue("y"));
  data.put("m", JsonValue(""));
  std::string text = serialize(root);
  EXPECT_EQ(text.substr(0, 44), R"({"list":[{"x":"y"},"s"],"data":{"m":""},"k0")");
  EXPECT_TRUE(text.ends_with(R"(,"k99":"v"})")) << text;
}

TEST(JsonWriterTest, PutAndAppendNeedTheRightKind) {
  JsonValue text("t");
  JsonValue array = JsonValue::array();
  JsonValue object = JsonValue::object();
  EXPECT_THROW(text.put("k", JsonValue("v")), std::logic_error);
  EXPECT_THROW(array.put("k", JsonValue("v")), std::logic_error);
  EXPECT_THROW(text.append(JsonValue("v")), std::logic_error);
  EXPECT_THROW(object.append(JsonValue("v")), std::logic_error);
  EXPECT_EQ(serialize(array), "[]");
  EXPECT_EQ(serialize(object), "{}");
}
