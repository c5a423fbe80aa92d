#include "net/vendor_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "tests/net/test_server.h"
#include "tests/support/temp_dir.h"

namespace {

const char* const kPassword = "pw-11-chars";
const char* const kBasicAuth = "Basic YXJkb25hcGk6cHctMTEtY2hhcnM=";  // base64 of "ardonapi:pw-11-chars"

// A vendor service that answers every GET and POST on "/" with the reply
// the test sets, and refuses requests without the right credentials.
class VendorServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto answer = [this](const httplib::Request& request, httplib::Response& response) {
      if (request.get_header_value("Authorization") != kBasicAuth) {
        response.status = 401;
        return;
      }
      std::lock_guard<std::mutex> guard(mutex);
      response.set_content(replyText, "text/html");
    };
    server.on("GET", "/", answer);
    server.on("POST", "/", answer);
    server.start();
  }

  void setReply(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex);
    replyText = text;
  }

  VendorConfig config(const std::string& password = kPassword) const {
    return VendorConfig{server.url("/"), password, server.url("/photo")};
  }

  httplib::Request onlyRequest() const {
    auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? httplib::Request() : requests.front();
  }

  void expectClientHeaders(const httplib::Request& request) const {
    EXPECT_EQ(request.get_header_value("Authorization"), kBasicAuth);
    EXPECT_EQ(request.get_header_value("Accept"), "text/html, */*");
    EXPECT_EQ(request.get_header_value("User-Agent"), "Mozilla/3.0 (compatible; Indy Library)");
  }

  std::mutex mutex;
  std::string replyText;
  TestServer server;
};

}  // namespace

TEST(VendorProfileTest, BuiltInEndpointsAndClientSettings) {
  VendorConfig defaults;
  EXPECT_EQ(defaults.baseUrl.rfind("http://", 0), 0u);
  EXPECT_TRUE(defaults.baseUrl.ends_with(":800/"));
  EXPECT_EQ(defaults.password.size(), 11u);
  EXPECT_EQ(defaults.photoUrl, "http://127.0.0.1:8302/");
  HttpSettings settings = vendorHttpSettings(defaults.password);
  EXPECT_EQ(settings.userName, "ardonapi");
  EXPECT_EQ(settings.password, defaults.password);
  EXPECT_EQ(settings.contentType, "application/x-www-form-urlencoded");
  EXPECT_FALSE(settings.followRedirects);
  EXPECT_EQ(settings.connectTimeoutMs, 0);
  EXPECT_EQ(settings.readTimeoutMs, 0);
  EXPECT_EQ(settings.caFile, "");
}

TEST_F(VendorServiceTest, AccountCheckSendsTheIdAsIdAndPassword) {
  setReply("OK");
  VendorService vendor(config());
  EXPECT_EQ(vendor.checkShop("1"), "OK");
  httplib::Request request = onlyRequest();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/?page=checkShop&id=1&password=1");
  expectClientHeaders(request);
  EXPECT_FALSE(request.has_header("Content-Type"));
  EXPECT_EQ(request.body, "");
}

TEST_F(VendorServiceTest, AddressCarriesTheTextAsTypedSaveUnsendableBytes) {
  struct Case {
    std::string typed;
    std::string sent;
  };
  const Case cases[] = {
      {"A-z_0.9~", "A-z_0.9~"},
      {"a&b=c%41+d", "a&b=c%41+d"},  // sent as typed, the service sees what it sees
      {"a b", "a%20b"},
      {"x\r\ny\t\x7f", "x%0D%0Ay%09%7F"},
      {"no#5", "no%235"},
      {"\xA4\xA4\xB3\x5C", "%A4%A4%B3\\"},  // Big5, trail byte 0x5C kept
  };
  for (const Case& c : cases) EXPECT_EQ(addressText(c.typed), c.sent) << c.typed;

  setReply("no");
  VendorService vendor(config());
  vendor.checkShop("shop 7#\xA4\xA4");
  httplib::Request request = onlyRequest();
  EXPECT_EQ(request.target, "/?page=checkShop&id=shop%207%23%A4%A4&password=shop%207%23%A4%A4");
  EXPECT_EQ(request.get_param_value("id"), "shop 7#\xA4\xA4");
  EXPECT_EQ(request.get_param_value("password"), "shop 7#\xA4\xA4");
}

TEST_F(VendorServiceTest, OnlyExactlyOkAcceptsTheAccount) {
  const std::pair<std::string, bool> verdicts[] = {
      {"OK", true},  {"ok", false},  {"OK\n", false}, {"OK\r\n", false}, {" OK", false},
      {"OK ", false}, {"Ok", false}, {"", false},     {"OKAY", false},   {std::string("OK\0", 3), false},
  };
  for (const auto& [reply, accepted] : verdicts) EXPECT_EQ(VendorService::isAccepted(reply), accepted) << reply;

  VendorService vendor(config());
  for (const std::string reply : {"OK\n", "ok"}) {
    setReply(reply);
    std::string got = vendor.checkShop("1");
    EXPECT_EQ(got, reply);  // the reply arrives untrimmed
    EXPECT_FALSE(VendorService::isAccepted(got));
  }
}

TEST_F(VendorServiceTest, RefusedCredentialsThrow) {
  setReply("OK");
  VendorService vendor(config("wrong-pw-11"));
  EXPECT_THROW(vendor.checkShop("1"), NetError);
  EXPECT_THROW(vendor.getMobileToken("0912"), NetError);
}

TEST_F(VendorServiceTest, RedirectIsNotFollowed) {
  TestServer redirecting;
  redirecting.on("GET", "/", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server.url("/"), 302);
    response.set_content("moved", "text/html");
  });
  redirecting.start();
  setReply("OK");
  VendorService vendor(VendorConfig{redirecting.url("/"), kPassword, ""});
  std::string reply = vendor.checkShop("1");
  EXPECT_EQ(reply, "moved");
  EXPECT_FALSE(VendorService::isAccepted(reply));
  EXPECT_EQ(redirecting.requestCount(), 1u);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(VendorServiceTest, TokenLookupPostsTheMobileNumberAsTyped) {
  setReply(R"({"id":"tok"})");
  VendorService vendor(config());
  for (const std::string mobile : {"0912 345&678", ""}) vendor.getMobileToken(mobile);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/?page=getMobile");
  EXPECT_EQ(requests[0].body, "no=0912 345&678");
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/x-www-form-urlencoded");
  expectClientHeaders(requests[0]);
  EXPECT_EQ(requests[1].body, "no=");
}

TEST_F(VendorServiceTest, TokenIsTheIdMemberOfTheReplyObject) {
  struct Case {
    std::string reply;
    std::string token;
  };
  const Case cases[] = {
      {" \r\n\t{\r\n  \"id\" : \"APA91b\\/x\\u0041\"\r\n}\r\n\f\v ", "APA91b/xA"},
      {R"({"no":"0912","other":"x"})", ""},
      {R"({"id":null})", ""},
      {R"({"id":12345})", "12345"},
      {R"({"id":0.5})", "0.5"},
      {R"({"id":1.5e20})", "1.5e+20"},
      {R"({"id":true})", "true"},
      {R"({"id":false})", "false"},
      {R"({"id":[1,"a"]})", R"([1,"a"])"},
  };
  VendorService vendor(config());
  for (const Case& c : cases) {
    setReply(c.reply);
    EXPECT_EQ(vendor.getMobileToken("0912"), c.token) << c.reply;
  }
}

TEST_F(VendorServiceTest, TokenReplyThatIsNoJsonObjectThrows) {
  VendorService vendor(config());
  for (const std::string reply : {"<html><body><h1>500 Internal Server Error</h1></body></html>",
                                  R"(["id","tok"])", R"("tok")", "", R"({"id":"tok"} trailing)"}) {
    setReply(reply);
    try {
      vendor.getMobileToken("0912");
      ADD_FAILURE() << "accepted " << reply;
    } catch (const NetError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Invalid token reply: ", 0), 0u) << e.what();
    }
  }
}

TEST(VendorPhotoTest, PhotoGoesAsMultipartFileThenPageThenOid) {
  TempDir dir;
  const std::string photo("\xFF\xD8\xFF\xE0\0\r\n--boundary\r\n\xFF\xD9", 21);
  std::ofstream(dir.file("0.jpg"), std::ios::binary) << photo;

  std::mutex mutex;
  std::vector<httplib::MultipartFormData> parts;
  std::string contentType, authorization;
  TestServer server;
  server.raw().Post("/photo", [&](const httplib::Request& request, httplib::Response& response,
                                  const httplib::ContentReader& read) {
    std::lock_guard<std::mutex> guard(mutex);
    contentType = request.get_header_value("Content-Type");
    authorization = request.get_header_value("Authorization");
    read(
        [&](const httplib::MultipartFormData& part) {
          parts.push_back(part);
          return true;
        },
        [&](const char* data, size_t length) {
          parts.back().content.append(data, length);
          return true;
        });
    response.set_content("uploaded", "text/plain");
  });
  server.start();

  VendorService vendor(VendorConfig{"", kPassword, server.url("/photo")});
  EXPECT_EQ(vendor.sendPhoto(), "uploaded");
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_EQ(contentType.rfind("multipart/form-data; boundary=", 0), 0u) << contentType;
  EXPECT_EQ(authorization, kBasicAuth);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].name, "datafile");
  EXPECT_EQ(parts[0].filename, "0.jpg");
  EXPECT_EQ(parts[0].content_type, "image/jpeg");
  EXPECT_EQ(parts[0].content, photo);
  EXPECT_EQ(parts[1].name, "page");
  EXPECT_EQ(parts[1].filename, "");
  EXPECT_EQ(parts[1].content, "uploadProduct");
  EXPECT_EQ(parts[2].name, "oid");
  EXPECT_EQ(parts[2].content, "8369");
}

TEST(VendorPhotoTest, MissingOrUnreadablePhotoSendsNothing) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("dir.jpg"));
  TestServer server;
  server.on("POST", "/photo", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("uploaded", "text/plain");
  });
  server.start();
  VendorService vendor(VendorConfig{"", kPassword, server.url("/photo")});
  for (const std::string path : {"0.jpg", "dir.jpg"}) {
    try {
      vendor.sendPhoto(path);
      ADD_FAILURE() << "sent " << path;
    } catch (const NetError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(server.requestCount(), 0u);
}
