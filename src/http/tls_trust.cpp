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

// The store of one extra bundle, loaded when the first TLS connection needs it: a plain http request, such as an
// upload to a local server, never pays for parsing the bundles.
struct TrustSlot {
    std::string extra_ca;
    bool tried = false;
    X509_STORE* store = nullptr; // null until tried, and when a bundle could not be read
};

std::mutex& trust_mutex() {
    static std::mutex mutex;
    return mutex;
}

// One slot per extra bundle, kept to the end of the process: connections of workers that outlive everything else
// may still use its store.
TrustSlot* trust_slot(const std::string& extra_ca) {
    static auto* const slots = new std::map<std::string, TrustSlot>;
    std::lock_guard lock(trust_mutex());
    TrustSlot& slot = (*slots)[extra_ca];
    slot.extra_ca = extra_ca;
    return &slot;
}

CURLcode use_trusted_store(CURL*, void* ssl_ctx, void* data) {
    auto* slot = static_cast<TrustSlot*>(data);
    X509_STORE* store = nullptr;
    {
        std::lock_guard lock(trust_mutex());
        if (!slot->tried) {
            slot->store = load_store(slot->extra_ca);
            slot->tried = true;
        }
        store = slot->store;
    }
    // A bundle that cannot be read fails the connection rather than trusting more, or less, than it should.
    if (store == nullptr)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), store);
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
    if (openssl_backend() && curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, use_trusted_store) == CURLE_OK) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, trust_slot(extra_ca));
        curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    } else if (!extra_ca.empty()) {
        // Another TLS back end: this bundle only, and a bundle that cannot be read then fails every verification
        // rather than trusting more than it should.
        curl_easy_setopt(handle, CURLOPT_CAINFO, extra_ca.c_str());
    }
}

} // namespace velpic
