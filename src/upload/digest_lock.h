// Work on one picture in this process, one at a time: an upload's lookup, commit and record write, or a delete, of
// the same digest never run side by side (two uploads would both commit; a delete beside an upload could leave a
// record of a file it took down).
#pragma once

#include <string>

namespace velpic {

class DigestLock {
public:
    // Waits until no other holder has digest.
    explicit DigestLock(const std::string& digest);
    ~DigestLock();
    DigestLock(const DigestLock&) = delete;
    DigestLock& operator=(const DigestLock&) = delete;

private:
    std::string digest_;
};

} // namespace velpic
