#include "http/host_pacer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace velpic {

HostPacer& HostPacer::shared() {
    static HostPacer pacer;
    return pacer;
}

namespace {

HostPacer::Clock::duration spacing(int per_second) {
    return std::chrono::ceil<HostPacer::Clock::duration>(std::chrono::duration<double>(1.0) /
                                                         std::clamp(per_second, 1, 1000));
}

} // namespace

HostPacer::Turn HostPacer::take(const std::string& host, int per_second, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    HostState& state = hosts_[host];
    if (now < state.paused_until)
        return {false, state.paused_until, true};
    if (per_second <= 0)
        return {true, now, false};
    constexpr auto longest_unsent = std::chrono::seconds(1);
    if (state.unsent_since && now < *state.unsent_since + longest_unsent) {
        // Asked again soon: the request may go out any moment, on another thread's batch.
        return {false, std::min(now + std::chrono::milliseconds(5), *state.unsent_since + longest_unsent), false};
    }
    if (now < state.next_start)
        return {false, state.next_start, false};
    state.next_start = now + spacing(per_second);
    state.unsent_since = now;
    return {true, now, false};
}

void HostPacer::sent(const std::string& host, int per_second, Clock::time_point sent) {
    if (per_second <= 0)
        return;
    std::lock_guard lock(mutex_);
    HostState& state = hosts_[host];
    state.next_start = std::max(state.next_start, sent + spacing(per_second));
    state.unsent_since.reset();
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
