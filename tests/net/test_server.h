// A real HTTP or HTTPS server on 127.0.0.1, on a port the system picks, that
// records every request its handlers see. Register handlers, then start();
// the destructor stops the server and joins its thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  TestServer();                                                  // HTTP
  TestServer(const std::string& certFile, const std::string& keyFile);  // HTTPS
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Adds a handler for method ("GET" or "POST") on the path pattern; each
  // request is recorded before the handler runs.
  void on(const std::string& method, const std::string& pattern, Handler handler);
  // The library's server, for handlers that read the body themselves.
  httplib::Server& raw() { return *server_; }

  void start();
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://..." followed by path.
  std::string url(const std::string& path) const;

  std::vector<httplib::Request> requests() const;
  size_t requestCount() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  mutable std::mutex mutex_;
  std::vector<httplib::Request> requests_;
};

// Writes a fresh self-signed certificate for 127.0.0.1 and localhost (usable
// as its own CA) and its private key, both PEM.
void writeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile);
