#include "net/http_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <memory>
#include <mutex>

namespace {

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw NetError("cannot initialise libcurl");
  });
}

size_t appendReply(char* data, size_t size, size_t count, void* reply) {
  static_cast<std::string*>(reply)->append(data, size * count);
  return size * count;
}

bool sameHeaderName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
  void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

CURL* handle(void* curl) { return static_cast<CURL*>(curl); }

}  // namespace

HttpClient::HttpClient(HttpSettings settings) : settings_(std::move(settings)), curl_(nullptr) {
  initCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) throw NetError("cannot create an HTTP connection handle");
  curl_ = curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never a proxy, not even one named in the environment
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
  curl_easy_setopt(curl, CURLOPT_USERAGENT, settings_.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendReply);
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
  if (!settings_.userName.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.userName.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.password.c_str());
  }
  if (settings_.followRedirects) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 15L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A redirected POST goes on as a POST with its whole body, so that a
    // message is never silently turned into a GET without it.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  }
  if (settings_.connectTimeoutMs > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings_.connectTimeoutMs);
  if (settings_.readTimeoutMs > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, (settings_.readTimeoutMs + 999) / 1000);
  }
}

HttpClient::~HttpClient() { curl_easy_cleanup(handle(curl_)); }

void HttpClient::setHeader(const std::string& name, const std::string& value) {
  for (auto& header : headers_) {
    if (sameHeaderName(header.first, name)) {
      header.second = value;
      return;
    }
  }
  headers_.emplace_back(name, value);
}

std::string HttpClient::get(const std::string& url) {
  curl_easy_setopt(handle(curl_), CURLOPT_HTTPGET, 1L);
  return perform(url, Body::None);
}

std::string HttpClient::post(const std::string& url, const std::string& body) {
  curl_easy_setopt(handle(curl_), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle(curl_), CURLOPT_POSTFIELDS, body.data());
  return perform(url, Body::Plain);
}

std::string HttpClient::postMultipart(const std::string& url, const std::vector<MultipartPart>& parts) {
  CURL* curl = handle(curl_);
  std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(curl));
  if (!mime) throw NetError("cannot build a multipart body");
  for (const MultipartPart& part : parts) {
    curl_mimepart* field = curl_mime_addpart(mime.get());
    curl_mime_name(field, part.name.c_str());
    curl_mime_data(field, part.data.data(), part.data.size());
    if (!part.fileName.empty()) curl_mime_filename(field, part.fileName.c_str());
    if (!part.contentType.empty()) curl_mime_type(field, part.contentType.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
  struct Detach {
    CURL* curl;
    ~Detach() { curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr); }
  } detach{curl};
  return perform(url, Body::Multipart);
}

std::string HttpClient::perform(const std::string& url, Body body) {
  CURL* curl = handle(curl_);
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto addHeader = [&headers](const std::string& line) {
    curl_slist* longer = curl_slist_append(headers.get(), line.c_str());
    if (!longer) throw NetError("out of memory building request headers");
    static_cast<void>(headers.release());  // longer is the same list, grown
    headers.reset(longer);
  };
  addHeader("Accept: " + settings_.accept);
  addHeader("Expect:");  // the body goes at once, without waiting for "100 Continue"
  std::string contentType = settings_.contentType;
  for (const auto& [name, value] : headers_) {
    if (sameHeaderName(name, "Content-Type"))
      contentType = value;
    else
      addHeader(name + ": " + value);
  }
  if (body == Body::Plain) addHeader("Content-Type: " + contentType);

  std::string reply;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  CURLcode rc = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) {
    std::string message = "Request to " + url + " failed: " + curl_easy_strerror(rc);
    if (error[0]) message += std::string(" (") + error + ")";
    throw NetError(message);
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) throw NetError("Request to " + url + " failed: HTTP status " + std::to_string(status));
  return reply;
}
