#include "upload/gitea_service.h"

#include "runtime/codepage.h"

// Placeholder until the service's client is written: every call fails with a clear reason.
namespace velpic {

namespace {
std::string not_ready() { return utf8_to_gbk("尚不支持这个服务"); }
} // namespace

ContentsApiResult GiteaService::create_file(const std::string&, std::string_view, const std::string&) {
    ContentsApiResult r;
    r.reason = not_ready();
    return r;
}
StoredContents GiteaService::lookup(const std::string&) {
    StoredContents r;
    r.reason = not_ready();
    return r;
}
ContentsDeleteResult GiteaService::delete_file(const std::string&, const std::string&, const std::string&) {
    ContentsDeleteResult r;
    r.reason = not_ready();
    return r;
}
ClearOutcome GiteaService::clear() {
    ClearOutcome r;
    r.reason = not_ready();
    return r;
}
std::size_t GiteaService::batch_limit() const { return 1; }
BatchCommitResult GiteaService::commit_files(const std::vector<BatchFile>& files, const std::string& message) {
    return HostingService::commit_files(files, message);
}
std::string GiteaService::repository_page() const { return {}; }
std::string GiteaService::raw_address(const std::string& path) const { return path; }

} // namespace velpic
