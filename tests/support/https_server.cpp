#include "support/https_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace velpic::test {

namespace {

bool add_extension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr)
        return false;
    bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool write_pem(const std::filesystem::path& path, X509* cert, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = cert != nullptr ? PEM_write_X509(file, cert) == 1
                                   : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(file) == 0 && written;
}

} // namespace

bool write_self_signed_certificate(const std::filesystem::path& cert_file, const std::filesystem::path& key_file) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key != nullptr && cert != nullptr;
    if (ok) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr)));
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        // CA:TRUE lets the certificate itself be the trust anchor a client is given.
        ok = add_extension(cert, NID_basic_constraints, "critical,CA:TRUE") &&
             add_extension(cert, NID_subject_key_identifier, "hash") &&
             add_extension(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
             X509_sign(cert, key, EVP_sha256()) > 0 && write_pem(cert_file, cert, nullptr) &&
             write_pem(key_file, nullptr, key);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

HttpsServer::HttpsServer(Transport transport) : transport_(transport) {
    if (transport_ == Transport::tls) {
        if (write_self_signed_certificate(ca_file(), key_file()))
            server_ = std::make_unique<httplib::SSLServer>(ca_file().c_str(), key_file().c_str());
    }
    if (!server_)
        server_ = std::make_unique<httplib::Server>();
}

HttpsServer::~HttpsServer() {
    stop();
}

bool HttpsServer::start() {
    if (thread_.joinable() || !server_->is_valid())
        return false;
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only takes effect once the loop runs, so do not hand the server out before that.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return server_->is_running();
}

void HttpsServer::stop() {
    if (!thread_.joinable())
        return;
    server_->stop();
    thread_.join();
}

std::string HttpsServer::url(const std::string& path) const {
    return std::string(transport_ == Transport::tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
           path;
}

std::filesystem::path HttpsServer::ca_file() const {
    return transport_ == Transport::tls ? dir_.file("cert.pem") : std::filesystem::path();
}

std::filesystem::path HttpsServer::key_file() const {
    return transport_ == Transport::tls ? dir_.file("key.pem") : std::filesystem::path();
}

} // namespace velpic::test
