#include "wrapper/code_page.h"

#include <gtest/gtest.h>

class CodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { codePage::setCharset(""); }
};

TEST_F(CodePageTest, Big5RoundTripsThroughUtf8AndUtf16) {
  codePage::setCharset("BIG5");
  const std::string big5 = "\xA7\x41\xA6\x6E";  // 你好
  EXPECT_EQ(codePage::toUtf8(big5), "\xE4\xBD\xA0\xE5\xA5\xBD");
  EXPECT_EQ(codePage::toUtf16(big5), u"你好");
  EXPECT_EQ(codePage::fromUtf16(u"你好"), big5);
  EXPECT_EQ(codePage::fromUtf8("\xE4\xBD\xA0\xE5\xA5\xBD"), big5);
}

TEST_F(CodePageTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  codePage::setCharset("BIG5");
  EXPECT_EQ(codePage::fromUtf16(u"a\u00E9b"), "a?b");  // é is not in Big5
  EXPECT_EQ(codePage::toUtf8("a\xFF" "b"), "a?b");     // 0xFF starts no Big5 character
}

TEST_F(CodePageTest, AsciiLocaleMeansUtf8) {
  codePage::setCharset("");
  EXPECT_EQ(codePage::charset(), "UTF-8");  // tests run in the C locale
  EXPECT_EQ(codePage::toUtf16("\xE5\xA0\x83"), u"堃");
}
