// A link check on a thread of its own, for a caller that must not wait for it: stopping it cuts its outstanding
// requests, and once stop() returns none of its requests goes out and none of its events fires.
#pragma once

#include "records/link_check.h"

#include <memory>
#include <thread>
#include <vector>

namespace velpic {

class LinkCheckJob {
public:
    // Starts at once; events fire on the job's thread.
    LinkCheckJob(std::vector<LinkTarget> targets, LinkCheckOptions options, LinkCheckEvents events);
    // count targets handed out by target_at on the job's thread, from data that must stand until the job stops.
    LinkCheckJob(std::size_t count, LinkTargetSource target_at, LinkCheckOptions options, LinkCheckEvents events);
    // Stops it.
    ~LinkCheckJob();
    LinkCheckJob(const LinkCheckJob&) = delete;
    LinkCheckJob& operator=(const LinkCheckJob&) = delete;

    // False when no thread could be started (nothing will be checked).
    bool running() const { return thread_.joinable(); }
    // Requests the stop and waits for the thread to leave, which takes no longer than one pass of its loop.
    void stop();

private:
    BatchGetStop stop_;
    std::thread thread_;
};

} // namespace velpic
