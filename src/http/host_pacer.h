// How often requests may go to one host, for every batch in the process at once: at most a set number of request
// starts in any second, and none while the host has asked to be left alone (429 or 503 with Retry-After).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace velpic {

class HostPacer {
public:
    using Clock = std::chrono::steady_clock;

    // The one every batch uses unless told otherwise.
    static HostPacer& shared();

    struct Turn {
        bool granted = false;       // the request may go now; it has been counted
        Clock::time_point retry_at; // when not granted: the earliest time a turn may be granted
        bool host_asked = false;    // when not granted: the host's own pause holds it back, not the rate
    };

    // Takes a turn for host (see host_of) at no more than per_second request starts in any second (1..1000).
    Turn take(const std::string& host, int per_second, Clock::time_point now = Clock::now());
    // No turn for host is granted before until (a later pause already set stays).
    void pause(const std::string& host, Clock::time_point until);

private:
    struct HostState {
        std::deque<Clock::time_point> starts; // within the last second, oldest first
        Clock::time_point paused_until{};
    };
    std::mutex mutex_;
    std::map<std::string, HostState> hosts_;
};

// The host and port of an http(s) address, lower case, without user information: "example.com:8443". The port
// is left out when absent. Empty for an address without "://".
std::string host_of(std::string_view url);

// The wait a Retry-After value asks for: delta-seconds or an HTTP-date (against the system clock now_utc, in seconds
// since the epoch), never below 0 nor above cap. -1 when the value is neither.
long long retry_after_seconds(std::string_view value, long long now_utc, long long cap);

} // namespace velpic
