#include "net/vendor_service.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <nlohmann/json.hpp>

namespace {

std::string readFile(const std::string& path) {
  auto fail = [&path] { return NetError("Cannot read file " + path + ": " + std::strerror(errno)); };
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) throw fail();
  std::string data;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) data.append(buffer, n);
  if (std::ferror(file.get())) throw fail();
  return data;
}

// Drops the control characters and spaces around the reply, not only the
// white space that JSON itself allows there.
std::string_view trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string memberText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  if (value.is_number()) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value.get<double>());
    return text;
  }
  return value.dump();
}

}  // namespace

HttpSettings vendorHttpSettings(const std::string& password) {
  HttpSettings settings;
  settings.userName = "ardonapi";
  settings.password = password;
  settings.followRedirects = false;
  return settings;
}

std::string addressText(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || b == '#') {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

VendorService::VendorService(VendorConfig config)
    : config_(std::move(config)), http_(vendorHttpSettings(config_.password)) {}

std::string VendorService::checkShop(const std::string& id) {
  std::string value = addressText(id);
  return http_.get(config_.baseUrl + "?page=checkShop&id=" + value + "&password=" + value);
}

bool VendorService::isAccepted(const std::string& reply) { return reply == "OK"; }

std::string VendorService::getMobileToken(const std::string& mobile) {
  std::string reply = http_.post(config_.baseUrl + "?page=getMobile", "no=" + mobile);
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(trimmed(reply));
  } catch (const nlohmann::json::exception& e) {
    throw NetError(std::string("Invalid token reply: ") + e.what());
  }
  if (!document.is_object()) throw NetError("Invalid token reply: not a JSON object");
  auto member = document.find("id");
  return member == document.end() ? std::string() : memberText(*member);
}

std::string VendorService::sendPhoto(const std::string& path) {
  std::string photo = readFile(path);
  return http_.postMultipart(config_.photoUrl, {
                                                   {"datafile", std::move(photo), "0.jpg", "image/jpeg"},
                                                   {"page", "uploadProduct", "", ""},
                                                   {"oid", "8369", "", ""},
                                               });
}
