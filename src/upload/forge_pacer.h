// Writes kept under a forge's own limits (GitHub: 80 content-creating requests a minute, 500 an hour) before the
// forge has to refuse them: a refusal costs a wait anyway, and repeated ones can get the token blocked for longer.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <string>

namespace velpic {

class ForgeWritePacer {
public:
    using Clock = std::chrono::steady_clock;

    ForgeWritePacer(int per_minute, int per_hour) : per_minute_(per_minute), per_hour_(per_hour) {}

    // How long a write has to wait at now so that no more than per_minute writes start in any minute and per_hour
    // in any hour (zero: it may go).
    Clock::duration wait_at(Clock::time_point now) const;
    // Counts a write that starts at now.
    void take(Clock::time_point now);

private:
    int per_minute_;
    int per_hour_;
    std::deque<Clock::time_point> starts_; // within the last hour, oldest first
};

// Waits until a write to host may start under the limits, shared by every client of the process, and counts it.
// on_wait is told before each wait. Limits of 0 mean none.
void forge_pace_write(const std::string& host, int per_minute, int per_hour, const std::function<void()>& on_wait);

} // namespace velpic
