#include "net/http_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "tests/net/test_server.h"
#include "tests/support/temp_dir.h"

namespace {

void reply(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "text/plain");
}

// A port on 127.0.0.1 where nobody listens: bound, never listening, so a
// connection is refused at once.
class RefusingPort {
 public:
  RefusingPort() : fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot reserve a port");
    port = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

 private:
  int fd;
  int port = 0;
};

}  // namespace

TEST(HttpClientTest, ErrorStatusesThrowAndOthersReturnTheBody) {
  struct Case {
    int status;
    bool fails;
  };
  const Case cases[] = {{200, false}, {201, false}, {302, false}, {399, false},
                        {400, true}, {401, true}, {404, true}, {500, true}, {503, true}};
  TestServer server;
  server.on("GET", R"(/status/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    int status = std::stoi(request.matches[1]);
    reply(response, status, "body " + std::to_string(status));
    if (status == 302) response.set_header("Location", "/elsewhere");
  });
  server.start();
  HttpClient client(HttpSettings{});
  for (const Case& c : cases) {
    std::string url = server.url("/status/" + std::to_string(c.status));
    if (c.fails) {
      try {
        client.get(url);
        ADD_FAILURE() << "no error for status " << c.status;
      } catch (const NetError& e) {
        EXPECT_NE(std::string(e.what()).find("HTTP status " + std::to_string(c.status)), std::string::npos) << e.what();
      }
    } else {
      EXPECT_EQ(client.get(url), "body " + std::to_string(c.status));
    }
  }
  EXPECT_EQ(server.requestCount(), std::size(cases));  // the 302 was not followed
}

TEST(HttpClientTest, RefusedConnectionThrows) {
  RefusingPort port;
  HttpClient client(HttpSettings{});
  EXPECT_THROW(client.get(port.url()), NetError);
  EXPECT_THROW(client.post(port.url(), "x"), NetError);
}

TEST(HttpClientTest, SilentServerHitsTheReadTimeout) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TestServer server;
  server.on("GET", "/slow", [released](const httplib::Request&, httplib::Response& response) {
    released.wait_for(std::chrono::seconds(30));  // bounds a broken test, orders nothing
    reply(response, 200, "late");
  });
  server.start();
  HttpSettings settings;
  settings.readTimeoutMs = 1000;
  HttpClient client(settings);
  EXPECT_THROW(client.get(server.url("/slow")), NetError);
  release.set_value();
}

TEST(HttpClientTest, CookiesSetByTheServerComeBack) {
  TestServer server;
  server.on("GET", "/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "session=abc123; Path=/");
    reply(response, 200, "in");
  });
  server.on("GET", "/next", [](const httplib::Request& request, httplib::Response& response) {
    reply(response, 200, request.get_header_value("Cookie"));
  });
  server.start();
  HttpClient client(HttpSettings{});
  EXPECT_EQ(client.get(server.url("/next")), "");
  client.get(server.url("/login"));
  EXPECT_EQ(client.get(server.url("/next")), "session=abc123");
}

TEST(HttpClientTest, HeadersAreReplacedNotRepeated) {
  TestServer server;
  server.on("POST", "/h", [](const httplib::Request&, httplib::Response& response) { reply(response, 200, "ok"); });
  server.start();
  HttpClient client(HttpSettings{});
  client.setHeader("X-Key", "first");
  client.setHeader("x-key", "second");
  client.setHeader("content-type", "application/json");
  client.post(server.url("/h"), "{}");
  client.setHeader("Content-Type", "text/plain");
  client.post(server.url("/h"), "{}");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].get_header_value_count("X-Key"), 1u);
  EXPECT_EQ(requests[0].get_header_value("X-Key"), "second");
  EXPECT_EQ(requests[0].get_header_value_count("Content-Type"), 1u);
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].get_header_value_count("Content-Type"), 1u);
  EXPECT_EQ(requests[1].get_header_value("Content-Type"), "text/plain");
  EXPECT_FALSE(requests[1].has_header("Expect"));
}

TEST(HttpClientTest, FollowedRedirectKeepsThePostAndItsBody) {
  TestServer server;
  server.on("POST", "/old", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/new", 302);
  });
  server.on("POST", "/new", [](const httplib::Request& request, httplib::Response& response) {
    reply(response, 200, "got " + request.body);
  });
  server.start();
  HttpSettings settings;
  settings.followRedirects = true;
  HttpClient client(settings);
  EXPECT_EQ(client.post(server.url("/old"), "payload"), "got payload");
}

class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeSelfSignedCertificate(dir.file("cert.pem"), dir.file("key.pem"));
    server = std::make_unique<TestServer>(dir.file("cert.pem"), dir.file("key.pem"));
    server->on("GET", "/", [](const httplib::Request&, httplib::Response& response) { reply(response, 200, "secure"); });
    server->start();
  }

  TempDir dir;
  std::unique_ptr<TestServer> server;
};

TEST_F(HttpsTest, UntrustedCertificateIsRefusedBeforeAnyRequest) {
  HttpClient client(HttpSettings{});  // the system's CA store does not know the test certificate
  try {
    client.get(server->url("/"));
    FAIL() << "untrusted server accepted";
  } catch (const NetError& e) {
    EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
  }
  EXPECT_EQ(server->requestCount(), 0u);
}

TEST_F(HttpsTest, TrustedCertificateIsAccepted) {
  HttpSettings settings;
  settings.caFile = dir.file("cert.pem");
  HttpClient client(settings);
  EXPECT_EQ(client.get(server->url("/")), "secure");
}
