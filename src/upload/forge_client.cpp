#include "upload/forge_client.h"

#include "http/header_list.h"
#include "http/host_pacer.h"
#include "http/http_method.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "upload/forge_pacer.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

namespace velpic {

namespace {

// A reset hours away means the hourly budget is gone; waiting longer in one go would look like a hang.
constexpr long long kLongestWait = 3600;
// A service that keeps asking after this many waits is not going to let the request through soon.
constexpr int kMostWaits = 8;
constexpr int kConflictRetries = 3;
// GitHub documents a minute as the least wait after a secondary limit that names no time.
constexpr long long kUnnamedWait = 60;

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && text_lower(a) == text_lower(b);
}

long long number_or(const std::string& text, long long fallback) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    return std::stoll(text);
}

TokenAnswer gave_up(const TokenAnswer& last) {
    TokenAnswer answer;
    answer.status = last.status;
    answer.headers = last.headers;
    answer.reason = utf8_to_gbk("服务器多次要求稍候，已放弃（HTTP ") + std::to_string(last.status) + utf8_to_gbk("）");
    return answer;
}

// Spaces and tabs off both ends, byte by byte (a GBK-aware trim keeps a space after a byte that could lead a
// character).
std::string trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return std::string(text);
}

} // namespace

std::string forge_header(const std::string& head, std::string_view name) {
    std::string value;
    // Lines end at LF, with or without the CR before it: a service whose lines end at a bare LF would otherwise have
    // one header's value run on into the next lines. The head is bytes, not GBK text: a byte above 0x80 before the
    // LF must not hide it as the second byte of a character.
    std::string_view rest(head);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && same_name(trim_blanks(line.substr(0, colon)), name))
            value = trim_blanks(line.substr(colon + 1));
    }
    return value;
}

long long forge_wait_seconds(const TokenAnswer& answer, long long now_utc, long long cap) {
    if (answer.status != 403 && answer.status != 429)
        return -1;
    const std::string retry_after = forge_header(answer.headers, "retry-after");
    if (!retry_after.empty()) {
        const long long seconds = retry_after_seconds(retry_after, now_utc, cap);
        if (seconds >= 0)
            return seconds;
    }
    if (forge_header(answer.headers, "x-ratelimit-remaining") == "0") {
        const long long reset = number_or(forge_header(answer.headers, "x-ratelimit-reset"), now_utc + kUnnamedWait);
        return std::clamp(reset - now_utc, 0LL, cap);
    }
    return answer.status == 429 ? std::min(kUnnamedWait, cap) : -1;
}

ForgeClient::ForgeClient(std::string authorization, std::string accept, WriteLimits limits,
                         std::function<void()> on_wait)
    : authorization_(std::move(authorization)), accept_(std::move(accept)), limits_(limits),
      on_wait_(std::move(on_wait)) {}

std::string ForgeClient::headers(bool json_body) const {
    HeaderList headers;
    headers.add("Authorization", authorization_);
    headers.add("Accept", accept_);
    headers.add("User-Agent", "Velpic");
    if (json_body)
        headers.add("Content-Type", "application/json");
    return headers.to_header_text();
}

template <class Send> TokenAnswer ForgeClient::with_waits(Send&& send, const std::string& url, bool write) const {
    int waits = 0;
    int conflicts = 0;
    for (;;) {
        if (write)
            forge_pace_write(host_of(url), limits_.per_minute, limits_.per_hour, on_wait_);
        TokenAnswer answer = send();
        if (!answer.complete)
            return answer;
        const long long wait = forge_wait_seconds(answer, static_cast<long long>(std::time(nullptr)), kLongestWait);
        if (wait >= 0) {
            if (waits++ == kMostWaits)
                return gave_up(answer);
            if (on_wait_)
                on_wait_();
            // At least a second: "Retry-After: 0" answered at once would only be refused again.
            std::this_thread::sleep_for(std::chrono::seconds(std::max(1LL, wait)));
            continue;
        }
        if (write && answer.status == 409 && conflicts < kConflictRetries) {
            ++conflicts;
            std::this_thread::sleep_for(std::chrono::milliseconds(300 * conflicts));
            continue;
        }
        return answer;
    }
}

TokenAnswer ForgeClient::get(const std::string& url) const {
    return with_waits([&] { return send_token_request(url, kHttpGet, std::string(), headers(false), kApiReadLimit); },
                      url, false);
}

TokenAnswer ForgeClient::write(const std::string& url, int method, const std::string& json) const {
    return with_waits([&] { return send_token_request(url, method, json, headers(true)); }, url, true);
}

TokenAnswer ForgeClient::write(const std::string& url, int method, const RequestBody& json) const {
    return with_waits([&] { return send_token_request(url, method, json, headers(true)); }, url, true);
}

std::unique_lock<std::mutex> forge_write_lock(const std::string& repository_key) {
    static std::mutex table_mutex;
    // Never erased: one small mutex per repository this process has written to.
    static std::map<std::string, std::unique_ptr<std::mutex>> table;
    std::mutex* mutex = nullptr;
    {
        std::lock_guard guard(table_mutex);
        std::unique_ptr<std::mutex>& entry = table[repository_key];
        if (!entry)
            entry = std::make_unique<std::mutex>();
        mutex = entry.get();
    }
    return std::unique_lock<std::mutex>(*mutex);
}

} // namespace velpic
