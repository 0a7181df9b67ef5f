#include "upload/digest_lock.h"

#include <condition_variable>
#include <mutex>
#include <set>

namespace velpic {

namespace {

std::mutex registry_mutex;
std::condition_variable registry_changed;
std::set<std::string> busy_digests;

} // namespace

DigestLock::DigestLock(const std::string& digest) : digest_(digest) {
    std::unique_lock lock(registry_mutex);
    registry_changed.wait(lock, [&] { return busy_digests.count(digest_) == 0; });
    busy_digests.insert(digest_);
}

DigestLock::~DigestLock() {
    {
        std::lock_guard lock(registry_mutex);
        busy_digests.erase(digest_);
    }
    registry_changed.notify_all();
}

} // namespace velpic
