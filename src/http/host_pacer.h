// How often requests may go to one host, for every batch in the process at once: request starts spaced evenly at a
// set number a second (a burst at the start of each second would show the host more than that in some second), and
// none while the host has asked to be left alone (429 or 503 with Retry-After).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
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

    // Takes a turn for host (see host_of), no sooner than 1/per_second seconds after the one before (per_second
    // taken into 1..1000); per_second 0 or less: only the host's own pause holds it back.
    Turn take(const std::string& host, int per_second, Clock::time_point now = Clock::now());
    // The request of the last turn went out at sent (or never will: its connection failed). Until then, or for a
    // second at most, no further turn is granted, and the next comes no sooner than 1/per_second seconds after it:
    // a request delayed on its way (a connection being set up) never goes out close behind or after the next.
    void sent(const std::string& host, int per_second, Clock::time_point sent = Clock::now());
    // No turn for host is granted before until (a later pause already set stays).
    void pause(const std::string& host, Clock::time_point until);

private:
    struct HostState {
        Clock::time_point next_start{};
        std::optional<Clock::time_point> unsent_since; // a turn granted whose request has not gone out yet
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
