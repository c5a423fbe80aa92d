#include "net/json_writer.h"

#include <stdexcept>

namespace {

void writeString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '/': out += "\\/"; break;
      case '\\': out += "\\\\"; break;
      default: out += c; break;
    }
  }
  out += '"';
}

}  // namespace

JsonValue::JsonValue(Kind kind) : kind_(kind) {}
JsonValue::JsonValue(std::string text) : kind_(Kind::String), text_(std::move(text)) {}
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

JsonValue JsonValue::object() { return JsonValue(Kind::Object); }
JsonValue JsonValue::array() { return JsonValue(Kind::Array); }

JsonValue& JsonValue::put(std::string key, JsonValue value) {
  if (kind_ != Kind::Object) throw std::logic_error("JSON put into a value that is not an object");
  keys_.push_back(std::move(key));
  children_.push_back(std::make_unique<JsonValue>(std::move(value)));
  return *children_.back();
}

JsonValue& JsonValue::append(JsonValue value) {
  if (kind_ != Kind::Array) throw std::logic_error("JSON append to a value that is not an array");
  children_.push_back(std::make_unique<JsonValue>(std::move(value)));
  return *children_.back();
}

void JsonValue::writeTo(std::string& out) const {
  switch (kind_) {
    case Kind::String:
      writeString(out, text_);
      break;
    case Kind::Array:
      out += '[';
      for (size_t i = 0; i < children_.size(); i++) {
        if (i) out += ',';
        children_[i]->writeTo(out);
      }
      out += ']';
      break;
    case Kind::Object:
      out += '{';
      for (size_t i = 0; i < children_.size(); i++) {
        if (i) out += ',';
        writeString(out, keys_[i]);
        out += ':';
        children_[i]->writeTo(out);
      }
      out += '}';
      break;
  }
}

std::string serialize(const JsonValue& value) {
  std::string out;
  value.writeTo(out);
  return out;
}
