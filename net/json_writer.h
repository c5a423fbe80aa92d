// A small ordered JSON document (objects, arrays and strings) and the writer
// whose output is the exact byte format that GCM receives.
//
// Members keep the order in which they were put; put always appends a new
// member and never looks up or replaces an existing key. References returned
// by put and append stay valid for the life of the document, so nested values
// can be filled after their parent has grown further.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class JsonValue {
 public:
  enum class Kind { String, Array, Object };

  static JsonValue object();
  static JsonValue array();
  explicit JsonValue(std::string text);

  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  Kind kind() const { return kind_; }

  // Appends the member key:value to an object and returns the stored value.
  // Throws std::logic_error when this value is not an object.
  JsonValue& put(std::string key, JsonValue value);
  // Appends an element to an array and returns the stored value.
  // Throws std::logic_error when this value is not an array.
  JsonValue& append(JsonValue value);

  // Appends the serialised form of this value to out (see serialize).
  void writeTo(std::string& out) const;

 private:
  explicit JsonValue(Kind kind);

  Kind kind_;
  std::string text_;                                // String
  std::vector<std::string> keys_;                   // Object: keys_[i] names children_[i]
  std::vector<std::unique_ptr<JsonValue>> children_;  // Array elements or Object values
};

// Writes the document without any whitespace. Strings and keys are written
// byte by byte: backspace, tab, line feed, form feed and carriage return as
// \b \t \n \f \r; '"', '/' and '\' with a backslash in front; every other byte
// (other control characters, bytes of 0x80 and above) unchanged, so UTF-8 text
// travels raw and never as \u escapes.
std::string serialize(const JsonValue& value);
