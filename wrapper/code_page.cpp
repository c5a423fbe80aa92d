#include "wrapper/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex charsetMutex;
std::string chosenCharset;

std::string localeCharset() {
  std::string set = nl_langinfo(CODESET);
  if (set.empty() || set == "ANSI_X3.4-1968" || set == "ASCII" || set == "US-ASCII") return "UTF-8";
  return set;
}

// Converts with iconv; each unconvertible or invalid input sequence is replaced
// by the target's '?' and the conversion goes on after it.
std::string convert(const char* to, const char* from, const char* in, size_t inLeft,
                    std::string_view question) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("unknown character set ") + from + " or " + to);
  std::string out;
  char buffer[1024];
  char* src = const_cast<char*>(in);
  size_t unit = std::string_view(from).starts_with("UTF-16") ? 2 : 1;
  while (true) {
    char* dst = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = inLeft ? iconv(cd, &src, &inLeft, &dst, &outLeft) : iconv(cd, nullptr, nullptr, &dst, &outLeft);
    out.append(buffer, dst - buffer);
    if (rc != static_cast<size_t>(-1)) {
      if (inLeft == 0) break;
      continue;
    }
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: skip one input unit and put a replacement in its place.
    out.append(question);
    size_t skip = inLeft < unit ? inLeft : unit;
    src += skip;
    inLeft -= skip;
    if (inLeft == 0) break;
  }
  iconv_close(cd);
  return out;
}

}  // namespace

namespace codePage {

void setCharset(const std::string& name) {
  std::lock_guard<std::mutex> guard(charsetMutex);
  chosenCharset = name;
}

std::string charset() {
  std::lock_guard<std::mutex> guard(charsetMutex);
  return chosenCharset.empty() ? localeCharset() : chosenCharset;
}

std::string toUtf8(std::string_view text) {
  return convert("UTF-8", charset().c_str(), text.data(), text.size(), "?");
}

std::string fromUtf8(std::string_view utf8) {
  return convert(charset().c_str(), "UTF-8", utf8.data(), utf8.size(), "?");
}

std::u16string toUtf16(std::string_view text) {
  std::string bytes = convert("UTF-16LE", charset().c_str(), text.data(), text.size(), std::string_view("?\0", 2));
  return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
}

std::string fromUtf16(std::u16string_view text) {
  return convert(charset().c_str(), "UTF-16LE", reinterpret_cast<const char*>(text.data()), text.size() * 2, "?");
}

}  // namespace codePage
