#include "http/tls_trust.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace velpic {

namespace {

bool openssl_backend() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info->ssl_version != nullptr && std::strncmp(info->ssl_version, "OpenSSL", 7) == 0;
}

// The CAs libcurl was built to trust plus the extra bundle; null when a file cannot be read.
X509_STORE* load_store(const std::string& extra_ca) {
    X509_STORE* store = X509_STORE_new();
    CURL* probe = curl_easy_init();
    if (store == nullptr || probe == nullptr) {
        X509_STORE_free(store);
        curl_easy_cleanup(probe);
        return nullptr;
    }
    char* file = nullptr;
    char* directory = nullptr;
    curl_easy_getinfo(probe, CURLINFO_CAINFO, &file);
    curl_easy_getinfo(probe, CURLINFO_CAPATH, &directory);
    bool ok = true;
    if (file == nullptr && directory == nullptr)
        ok = X509_STORE_set_default_paths(store) == 1;
    if (file != nullptr)
        ok = X509_STORE_load_file(store, file) == 1;
    if (ok && directory != nullptr)
        ok = X509_STORE_load_path(store, directory) == 1; // looked up by name when needed
    if (ok && !extra_ca.empty())
        ok = X509_STORE_load_file(store, extra_ca.c_str()) == 1;
    curl_easy_cleanup(probe);
    if (!ok) {
        X509_STORE_free(store);
        return nullptr;
    }
    return store;
}

// One store per extra bundle, kept to the end of the process: connections of workers that outlive everything else
// may still use it.
X509_STORE* trusted_store(const std::string& extra_ca) {
    static std::mutex mutex;
    static auto* const stores = new std::map<std::string, X509_STORE*>;
    std::lock_guard lock(mutex);
    if (auto it = stores->find(extra_ca); it != stores->end())
        return it->second;
    X509_STORE* store = load_store(extra_ca);
    if (store != nullptr)
        stores->emplace(extra_ca, store);
    return store;
}

CURLcode use_trusted_store(CURL*, void* ssl_ctx, void* store) {
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), static_cast<X509_STORE*>(store));
    return CURLE_OK;
}

} // namespace

void set_tls_verification(CURL* handle, bool verify) {
    if (!verify) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
        return;
    }
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    const char* variable = std::getenv("VELPIC_CA_FILE");
    const std::string extra_ca = variable != nullptr ? variable : "";
    X509_STORE* store = openssl_backend() ? trusted_store(extra_ca) : nullptr;
    if (store != nullptr && curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, use_trusted_store) == CURLE_OK) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, store);
        curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    } else if (!extra_ca.empty()) {
        // Another TLS back end, or a bundle that cannot be read: this bundle only, and a bundle that cannot be read
        // then fails every verification rather than trusting more than it should.
        curl_easy_setopt(handle, CURLOPT_CAINFO, extra_ca.c_str());
    }
}

} // namespace velpic
