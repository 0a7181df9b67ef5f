#include "upload/forge_pacer.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace velpic {

namespace {

// When the limit-th most recent start leaves the window, the next write may go.
ForgeWritePacer::Clock::time_point free_at(const std::deque<ForgeWritePacer::Clock::time_point>& starts, int limit,
                                           ForgeWritePacer::Clock::duration window) {
    if (limit <= 0 || starts.size() < static_cast<std::size_t>(limit))
        return {};
    return starts[starts.size() - static_cast<std::size_t>(limit)] + window;
}

} // namespace

ForgeWritePacer::Clock::duration ForgeWritePacer::wait_at(Clock::time_point now) const {
    const Clock::time_point free = std::max(free_at(starts_, per_minute_, std::chrono::minutes(1)),
                                            free_at(starts_, per_hour_, std::chrono::hours(1)));
    return free > now ? free - now : Clock::duration::zero();
}

void ForgeWritePacer::take(Clock::time_point now) {
    while (!starts_.empty() && starts_.front() + std::chrono::hours(1) <= now)
        starts_.pop_front();
    starts_.push_back(now);
}

void forge_pace_write(const std::string& host, int per_minute, int per_hour, const std::function<void()>& on_wait) {
    if (per_minute <= 0 && per_hour <= 0)
        return;
    static std::mutex mutex;
    static std::map<std::string, ForgeWritePacer> pacers;
    for (;;) {
        ForgeWritePacer::Clock::duration wait;
        {
            std::lock_guard lock(mutex);
            ForgeWritePacer& pacer = pacers.try_emplace(host, per_minute, per_hour).first->second;
            const auto now = ForgeWritePacer::Clock::now();
            wait = pacer.wait_at(now);
            if (wait == ForgeWritePacer::Clock::duration::zero()) {
                pacer.take(now);
                return;
            }
        }
        if (on_wait)
            on_wait();
        std::this_thread::sleep_for(wait);
    }
}

} // namespace velpic
