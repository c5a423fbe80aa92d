#include "tests/net/test_server.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

TestServer::TestServer() : server_(std::make_unique<httplib::Server>()), tls_(false) {}

TestServer::TestServer(const std::string& certFile, const std::string& keyFile)
    : server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())), tls_(true) {
  if (!server_->is_valid()) throw std::runtime_error("cannot set up the HTTPS test server");
}

TestServer::~TestServer() {
  if (!thread_.joinable()) return;
  // stop() is ignored until the accept loop has started.
  while (!server_->is_running() && !finished_) std::this_thread::yield();
  server_->stop();
  thread_.join();
}

void TestServer::on(const std::string& method, const std::string& pattern, Handler handler) {
  auto recording = [this, handler](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      requests_.push_back(request);
    }
    handler(request, response);
  };
  if (method == "GET")
    server_->Get(pattern, recording);
  else if (method == "POST")
    server_->Post(pattern, recording);
  else
    throw std::invalid_argument("unsupported method " + method);
}

void TestServer::start() {
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind the test server");
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    finished_ = true;
  });
}

std::string TestServer::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<httplib::Request> TestServer::requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

size_t TestServer::requestCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_.size();
}

void writeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile) {
  auto fail = [](const char* what) { throw std::runtime_error(std::string("test certificate: ") + what); };
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) fail("key generation");
  std::unique_ptr<X509, void (*)(X509*)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Torvik test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) fail("extension");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) fail("signing");
  auto write = [&](const std::string& path, auto writer) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "w"), std::fclose);
    if (!file || !writer(file.get())) fail("writing");
  };
  write(certFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()) == 1; });
  write(keyFile, [&](FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
}
