// An HTTP and HTTPS client over libcurl. One client keeps one connection
// handle, so its cookie store lives as long as the client. Every request
// returns the reply body unchanged or throws NetError: on any transport or TLS
// failure, and on a reply status of 400 or above. A redirect that is not
// followed (3xx) is a reply like any other: its body is returned.
//
// HTTPS always uses TLS 1.2 or later and verifies the server's certificate and
// host name, against the system's CA store or the given CA file.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "net/net_error.h"

struct HttpSettings {
  // Basic authentication is sent with every request when userName is set.
  std::string userName;
  std::string password;
  std::string accept = "text/html, */*";
  std::string userAgent = "Mozilla/3.0 (compatible; Indy Library)";
  // Content type of a plain POST body unless a "Content-Type" header is set.
  std::string contentType = "application/x-www-form-urlencoded";
  bool followRedirects = false;
  // 0 leaves the library's default: curl's connect limit, no read limit. The
  // read time-out is the longest silence within a transfer and has a
  // resolution of whole seconds (rounded up).
  long connectTimeoutMs = 0;
  long readTimeoutMs = 0;
  // PEM file of trusted certificates; empty means the system's CA store.
  std::string caFile;
};

// One part of a multipart/form-data body: a file part when fileName is set.
struct MultipartPart {
  std::string name;
  std::string data;
  std::string fileName;
  std::string contentType;
};

class HttpClient {
 public:
  explicit HttpClient(HttpSettings settings);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  const HttpSettings& settings() const { return settings_; }

  // Sets a request header for all later requests, replacing an earlier value
  // of the same (case-insensitive) name. A "Content-Type" header applies to
  // plain POST bodies only.
  void setHeader(const std::string& name, const std::string& value);

  std::string get(const std::string& url);
  std::string post(const std::string& url, const std::string& body);
  // Sends the parts in order; the content type is multipart/form-data with
  // the body's boundary, whatever "Content-Type" header is set.
  std::string postMultipart(const std::string& url, const std::vector<MultipartPart>& parts);

 private:
  enum class Body { None, Plain, Multipart };
  std::string perform(const std::string& url, Body body);

  HttpSettings settings_;
  std::vector<std::pair<std::string, std::string>> headers_;
  void* curl_;  // CURL*, kept out of this header
};
