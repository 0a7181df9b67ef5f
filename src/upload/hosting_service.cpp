#include "upload/hosting_service.h"

#include "runtime/codepage.h"
#include "upload/gitea_service.h"
#include "upload/gitee_service.h"
#include "upload/github_service.h"

namespace velpic {

std::string HostingService::profile_problem() const {
    if (std::string problem = repository_name_problem(profile_.owner, profile_.repo); !problem.empty())
        return problem;
    const std::string url = effective_service_url(profile_);
    if (url.empty())
        return utf8_to_gbk("请先填写服务地址（如 https://codeberg.org/）");
    if (std::string problem = service_url_problem(url); !problem.empty())
        return problem;
    if (!profile_.address_prefix.empty())
        return address_prefix_problem(profile_.address_prefix);
    return {};
}

std::string HostingService::address_prefix() const {
    return file_address_prefix(profile_, raw_address(""));
}

std::string HostingService::file_address(const std::string& path) const {
    return address_prefix() + path;
}

bool HostingService::is_file_address(const std::string& address, const std::string& path) const {
    // Whole-text equality: a prefix test would let ".." segments or another name after the prefix through. A record
    // made before an address prefix was set still names the file by its raw address.
    return is_plain_file_name(path) && (address == file_address(path) || address == raw_address(path));
}

BatchCommitResult HostingService::commit_files(const std::vector<BatchFile>&, const std::string&) {
    BatchCommitResult result;
    result.reason = utf8_to_gbk("这个服务不能在一次提交中写入多个文件");
    return result;
}

std::unique_ptr<HostingService> open_hosting_service(const RepositoryProfile& profile) {
    switch (profile.service) {
    case ServiceKind::github:
        return std::make_unique<GithubService>(profile);
    case ServiceKind::gitea:
        return std::make_unique<GiteaService>(profile);
    case ServiceKind::gitee:
        break;
    }
    return std::make_unique<GiteeService>(profile);
}

std::string service_wait_text() {
    return utf8_to_gbk("服务器要求稍候");
}

} // namespace velpic
