// A cpp-httplib server on 127.0.0.1 (TLS with a certificate made at start, or plain HTTP) for tests that need a
// real HTTP peer. Register handlers on server() before start().
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace httplib {
class Server;
}

namespace velpic::test {

// Writes a fresh self-signed certificate (subject and SAN 127.0.0.1 and localhost, usable as its own CA) and its
// private key as PEM files. False when OpenSSL fails.
bool write_self_signed_certificate(const std::filesystem::path& cert_file, const std::filesystem::path& key_file);

class HttpsServer {
public:
    enum class Transport { tls, plain };

    explicit HttpsServer(Transport transport = Transport::tls);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    httplib::Server& server() { return *server_; }
    // Binds a free port and serves on its own thread; returns once connections are accepted. False on failure.
    bool start();
    void stop();

    int port() const { return port_; }
    // "https://127.0.0.1:PORT" (or http) followed by path.
    std::string url(const std::string& path = "/") const;
    // The certificate in PEM (it is its own issuer): the file to name in VELPIC_CA_FILE. Empty for plain HTTP.
    std::filesystem::path ca_file() const;
    std::filesystem::path key_file() const;

private:
    Transport transport_;
    TempDir dir_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

} // namespace velpic::test
