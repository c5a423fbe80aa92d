// The system code page: the character set in which the program's record texts
// and plain text boxes are held. It is the character set of the process locale
// (nl_langinfo(CODESET)), UTF-8 when the locale is plain ASCII; tests may set
// another one (for example "BIG5") with setCharset.
#pragma once

#include <string>
#include <string_view>

namespace codePage {

// Replaces the character set; an empty name returns to the locale's.
void setCharset(const std::string& name);
// The character set in use, as an iconv name.
std::string charset();

// Conversions between the code page and Unicode. A byte sequence that is not
// valid in the source set, or a character the target set lacks, becomes '?'.
std::string toUtf8(std::string_view text);
std::string fromUtf8(std::string_view utf8);
std::u16string toUtf16(std::string_view text);
std::string fromUtf16(std::u16string_view text);

}  // namespace codePage
