#include "server/picture_download.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace velpic {

namespace {

struct Transfer {
    std::string bytes;
    std::size_t limit = 0;
    bool too_large = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (transfer->bytes.size() + n > transfer->limit) {
        transfer->too_large = true;
        return 0; // ends the transfer
    }
    transfer->bytes.append(data, n);
    return n;
}

std::string limit_text(std::size_t limit) {
    const std::size_t mb = 1024 * 1024;
    return limit % mb == 0 ? std::to_string(limit / mb) + " MB" : std::to_string(limit) + " bytes";
}

} // namespace

bool is_web_address(std::string_view text) {
    auto starts_with_nocase = [&](std::string_view prefix) {
        if (text.size() < prefix.size())
            return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != prefix[i])
                return false;
        }
        return true;
    };
    return starts_with_nocase("http://") || starts_with_nocase("https://");
}

PictureDownload download_picture(const std::string& address, std::size_t limit) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    PictureDownload result;
    if (!is_web_address(address)) {
        result.error = "not an http or https address";
        return result;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle) {
        result.error = "the download could not be started";
        return result;
    }
    CURL* h = handle.get();
    Transfer transfer;
    transfer.limit = limit;
    char error_text[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 15L);
    // A stalled server ends the download; a slow one that keeps sending does not.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Velpic");
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, ""); // the limit applies to the decoded bytes

    const CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (transfer.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = "the download is larger than the limit of " + limit_text(limit);
        return result;
    }
    if (code != CURLE_OK) {
        result.error =
            std::string("download failed: ") + (error_text[0] != '\0' ? error_text : curl_easy_strerror(code));
        return result;
    }
    if (status < 200 || status > 299) {
        result.error = "download failed: HTTP " + std::to_string(status);
        return result;
    }
    if (transfer.bytes.empty()) {
        result.error = "download failed: the answer is empty";
        return result;
    }
    result.ok = true;
    result.bytes = std::move(transfer.bytes);
    return result;
}

} // namespace velpic
