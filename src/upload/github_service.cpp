#include "upload/github_service.h"

#include "runtime/codepage.h"

// Placeholder until the service's client is written: every call fails with a clear reason.
namespace velpic {

namespace {
std::string not_ready() { return utf8_to_gbk("尚不支持这个服务"); }
} // namespace

ContentsApiResult GithubService::create_file(const std::string&, std::string_view, const std::string&) {
    ContentsApiResult r;
    r.reason = not_ready();
    return r;
}
StoredContents GithubService::lookup(const std::string&) {
    StoredContents r;
    r.reason = not_ready();
    return r;
}
ContentsDeleteResult GithubService::delete_file(const std::string&, const std::string&, const std::string&) {
    ContentsDeleteResult r;
    r.reason = not_ready();
    return r;
}
ClearOutcome GithubService::clear() {
    ClearOutcome r;
    r.reason = not_ready();
    return r;
}
std::size_t GithubService::batch_limit() const { return 1; }
BatchCommitResult GithubService::commit_files(const std::vector<BatchFile>& files, const std::string& message) {
    return HostingService::commit_files(files, message);
}
std::string GithubService::repository_page() const { return {}; }
std::string GithubService::raw_address(const std::string& path) const { return path; }

} // namespace velpic
