#include "server/picture_download.h"

#include "http/transport_failure.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>

namespace velpic {

namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
    CURL* handle = nullptr;
    std::string bytes;
    const DownloadBounds* bounds = nullptr;
    bool reserved = false;
    bool too_large = false;
    bool idle = false;
    bool cancelled = false;
    curl_off_t seen = -1;
    Clock::time_point last_byte = Clock::now();
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    const std::size_t limit = transfer->bounds->limit;
    if (transfer->bytes.size() + n > limit) {
        transfer->too_large = true;
        return 0; // ends the transfer
    }
    if (!transfer->reserved) {
        transfer->reserved = true;
        // Room for the whole picture at once, so that growing never holds two copies: the declared length, or
        // the limit, whose untouched pages cost nothing.
        curl_off_t declared = -1;
        curl_easy_getinfo(transfer->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        transfer->bytes.reserve(
            declared > 0 && static_cast<std::size_t>(declared) <= limit ? static_cast<std::size_t>(declared) : limit);
    }
    transfer->bytes.append(data, n);
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->bounds->cancel != nullptr && transfer->bounds->cancel->load()) {
        transfer->cancelled = true;
        return 1;
    }
    const auto at = Clock::now();
    if (now != transfer->seen) {
        transfer->seen = now;
        transfer->last_byte = at;
    } else if (at - transfer->last_byte > transfer->bounds->idle_limit) {
        transfer->idle = true;
        return 1;
    }
    return 0;
}

std::string limit_text(std::size_t limit) {
    const std::size_t mb = 1024 * 1024;
    return limit % mb == 0 ? std::to_string(limit / mb) + " MB " : std::to_string(limit) + " 字节";
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

PictureDownload download_picture(const std::string& address, const DownloadBounds& bounds) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    PictureDownload result;
    if (!is_web_address(address)) {
        result.error = "不是 http 或 https 地址";
        return result;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle) {
        result.error = "下载无法开始";
        return result;
    }
    CURL* h = handle.get();
    Transfer transfer;
    transfer.handle = h;
    transfer.bounds = &bounds;
    const std::size_t limit = bounds.limit;
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
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min<std::int64_t>(15000, bounds.deadline.count())));
    // A server that drips its answer must not hold a worker: the whole download has a deadline, and a pause
    // longer than the idle limit, or a stop of the server, ends it.
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(bounds.deadline.count()));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Velpic");
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, ""); // the limit applies to the decoded bytes

    const CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (transfer.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = "下载的图片大于 " + limit_text(limit) + "的上限";
        return result;
    }
    if (transfer.cancelled) {
        result.error = "上传服务正在停止，下载已中断";
        return result;
    }
    if (transfer.idle || code == CURLE_OPERATION_TIMEDOUT) {
        result.error = transfer.idle ? "下载中断：对方停止发送" : "下载超时";
        return result;
    }
    if (code != CURLE_OK) {
        result.error = "下载失败：" + curl_failure_reason(code, error_text);
        return result;
    }
    if (status < 200 || status > 299) {
        result.error = "下载失败：HTTP " + std::to_string(status);
        return result;
    }
    if (transfer.bytes.empty()) {
        result.error = "下载失败：回应为空";
        return result;
    }
    result.ok = true;
    result.bytes = std::move(transfer.bytes);
    return result;
}

} // namespace velpic
