#include "records/link_check_job.h"

#include <system_error>
#include <utility>

namespace velpic {

LinkCheckJob::LinkCheckJob(std::vector<LinkTarget> targets, LinkCheckOptions options, LinkCheckEvents events) {
    try {
        thread_ =
            std::thread([this, targets = std::move(targets), options = std::move(options), events = std::move(events)] {
                try {
                    check_links(targets, options, events, &stop_);
                } catch (...) {
                    // An allocation failure ends the check; the rows keep what they show.
                }
            });
    } catch (const std::system_error&) {
    }
}

LinkCheckJob::LinkCheckJob(std::size_t count, LinkTargetSource target_at, LinkCheckOptions options,
                           LinkCheckEvents events) {
    try {
        thread_ = std::thread(
            [this, count, target_at = std::move(target_at), options = std::move(options), events = std::move(events)] {
                try {
                    check_links(count, target_at, options, events, &stop_);
                } catch (...) {
                    // An allocation failure ends the check; the rows keep what they show.
                }
            });
    } catch (const std::system_error&) {
    }
}

LinkCheckJob::~LinkCheckJob() {
    stop();
}

void LinkCheckJob::stop() {
    stop_.request();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

} // namespace velpic
