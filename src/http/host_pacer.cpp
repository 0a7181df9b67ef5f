#include "http/host_pacer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace velpic {

HostPacer& HostPacer::shared() {
    static HostPacer pacer;
    return pacer;
}

HostPacer::Turn HostPacer::take(const std::string& host, int per_second, Clock::time_point now) {
    const std::size_t limit = static_cast<std::size_t>(std::clamp(per_second, 1, 1000));
    std::lock_guard lock(mutex_);
    HostState& state = hosts_[host];
    if (now < state.paused_until)
        return {false, state.paused_until, true};
    const Clock::time_point window_start = now - std::chrono::seconds(1);
    while (!state.starts.empty() && state.starts.front() <= window_start)
        state.starts.pop_front();
    if (state.starts.size() >= limit)
        return {false, state.starts[state.starts.size() - limit] + std::chrono::seconds(1), false};
    state.starts.push_back(now);
    return {true, now, false};
}

void HostPacer::pause(const std::string& host, Clock::time_point until) {
    std::lock_guard lock(mutex_);
    HostState& state = hosts_[host];
    state.paused_until = std::max(state.paused_until, until);
}

std::string host_of(std::string_view url) {
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos)
        return {};
    std::string_view authority = url.substr(scheme_end + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string host(authority);
    for (char& c : host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

long long retry_after_seconds(std::string_view value, long long now_utc, long long cap) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() &&
           (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' || value.back() == '\n'))
        value.remove_suffix(1);
    if (value.empty() || value.size() > 64)
        return -1;
    cap = std::max(0LL, cap);
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        long long seconds = 0;
        for (char c : value) {
            seconds = seconds * 10 + (c - '0');
            if (seconds > cap)
                return cap;
        }
        return seconds;
    }
    const time_t when = curl_getdate(std::string(value).c_str(), nullptr);
    if (when == static_cast<time_t>(-1))
        return -1;
    return std::clamp(static_cast<long long>(when) - now_utc, 0LL, cap);
}

} // namespace velpic
