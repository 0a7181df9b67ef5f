#include "upload/forge_service.h"

#include "http/http_method.h"
#include "runtime/codepage.h"
#include "runtime/percent_encoding.h"
#include "upload/contents_request_body.h"
#include "upload/forge_answer.h"
#include "upload/forge_repository.h"
#include "upload/git_blob.h"

#include <algorithm>
#include <cctype>

namespace velpic {

std::string forge_path_piece(const std::string& gbk) {
    return percent_encode_where(to_utf8(gbk), [](unsigned char c) {
        return !(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/');
    });
}

std::string forge_json_field(std::string_view name, const std::string& gbk_value) {
    return "\"" + std::string(name) + "\":\"" + to_utf8(json_string_escape(gbk_value)) + "\"";
}

std::string forge_clear_message() {
    return utf8_to_gbk("清空图床仓库");
}

ForgeService::ForgeService(const RepositoryProfile& profile, Dialect dialect)
    : HostingService(profile), dialect_(std::move(dialect)),
      client_(dialect_.authorization, dialect_.accept, dialect_.write_limits,
              [this] { notice_wait(service_wait_text()); }) {}

std::string ForgeService::contents_url(const std::string& path) const {
    return repository_api() + "/contents/" + forge_path_piece(path);
}

std::string ForgeService::branch(std::string& reason) const {
    reason = profile_problem();
    if (!reason.empty())
        return {};
    if (!profile_.branch.empty())
        return profile_.branch;
    const ForgeRepositoryInfo info = forge_repository_info(client_, repository_api());
    reason = info.reason;
    return info.default_branch;
}

std::string ForgeService::branch_in_use() const {
    if (!profile_.branch.empty())
        return profile_.branch;
    // The process remembers what the service said; before any request this asks once, as the next upload would.
    return forge_repository_info(client_, repository_api()).default_branch;
}

std::string ForgeService::batch_branch(const std::vector<BatchFile>& files, std::size_t limit,
                                       std::string& reason) const {
    if (files.size() > limit) {
        reason = utf8_to_gbk("一次提交的文件太多：") + std::to_string(files.size());
        return {};
    }
    const bool creates = std::any_of(files.begin(), files.end(), [](const BatchFile& f) { return !f.remove; });
    reason = creates ? upload_problem() : std::string();
    return reason.empty() ? branch(reason) : std::string();
}

std::string ForgeService::upload_problem() const {
    if (std::string problem = profile_problem(); !problem.empty())
        return problem;
    const ForgeRepositoryInfo info = forge_repository_info(client_, repository_api());
    if (!info.known)
        return info.reason;
    return info.is_private ? private_repository_reason(profile_.owner, profile_.repo) : std::string();
}

ContentsApiResult ForgeService::create_file(const std::string& path, std::string_view bytes,
                                            const std::string& message) {
    ContentsApiResult refused;
    refused.reason = upload_problem();
    const std::string on_branch = refused.reason.empty() ? branch(refused.reason) : std::string();
    if (!refused.reason.empty())
        return refused;
    const auto lock = hold_writes();
    return create_held(path, bytes, message, on_branch);
}

ContentsApiResult ForgeService::create_held(const std::string& path, std::string_view bytes, const std::string& message,
                                            const std::string& branch) {
    const ContentsRequestBody body = ContentsRequestBody::around(
        "{" + forge_json_field("message", message) + "," + forge_json_field("branch", branch) + ",\"content\":\"",
        bytes, "\"}");
    ContentsApiResult result = read_forge_create_answer(client_.write(contents_url(path), dialect_.create_method, body),
                                                        path, git_blob_sha1(bytes));
    if (result.ok)
        result.address = file_address(path);
    return result;
}

StoredContents ForgeService::lookup(const std::string& path) {
    StoredContents stored;
    const std::string on_branch = branch(stored.reason);
    if (!stored.reason.empty())
        return stored;
    stored = read_contents_answer(client_.get(contents_url(path) + "?ref=" + query_encode(to_utf8(on_branch))));
    // A private repository's download address carries an expiring token: never shown, copied or recorded.
    stored.download_url = stored.download_url.substr(0, stored.download_url.find('?'));
    return stored;
}

ContentsDeleteResult ForgeService::delete_file(const std::string& path, const std::string& sha,
                                               const std::string& message) {
    ContentsDeleteResult refused;
    const std::string on_branch = branch(refused.reason);
    if (!refused.reason.empty())
        return refused;
    const auto lock = hold_writes();
    return delete_held(path, sha, message, on_branch);
}

ContentsDeleteResult ForgeService::delete_held(const std::string& path, const std::string& sha,
                                               const std::string& message, const std::string& branch) {
    const std::string body = "{" + forge_json_field("message", message) + "," + forge_json_field("sha", sha) + "," +
                             forge_json_field("branch", branch) + "}";
    return read_delete_answer(client_.write(contents_url(path), kHttpDelete, body));
}

} // namespace velpic
