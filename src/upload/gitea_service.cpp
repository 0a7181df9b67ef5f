#include "upload/gitea_service.h"

#include "http/http_method.h"
#include "runtime/codepage.h"
#include "upload/forge_repository.h"
#include "upload/git_blob.h"
#include "upload/gitea_batch.h"

namespace velpic {

namespace {

// Every picture's Base64 goes into one request body: a batch has to stay under what the forge, and a proxy in front
// of it, take in one request.
constexpr std::size_t kBatchLimit = 50;

// "文件已删除，但这些文件夹还在仓库中：…" (GBK) for the folders among entries, empty when there are none: the
// multi-file call deletes files only.
std::string folders_left(const std::vector<GiteaRootEntry>& entries) {
    std::string folders;
    for (const GiteaRootEntry& entry : entries)
        if (!entry.file)
            folders += (folders.empty() ? "" : " ") + visible_text(entry.path);
    return folders.empty() ? folders : utf8_to_gbk("文件已删除，但这些文件夹还在仓库中：") + folders;
}

} // namespace

GiteaService::GiteaService(const RepositoryProfile& profile)
    : ForgeService(profile, {effective_service_url(profile) + "api/v1/repos/" + profile.owner + "/" + profile.repo,
                             "token " + profile.access_token,
                             "application/json",
                             kHttpPost,
                             {}}) {}

std::size_t GiteaService::batch_limit() const {
    return kBatchLimit;
}

BatchCommitResult GiteaService::commit_files(const std::vector<BatchFile>& files, const std::string& message) {
    BatchCommitResult result;
    const std::string on_branch = batch_branch(files, kBatchLimit, result.reason);
    if (!result.reason.empty())
        return result;
    if (files.empty()) {
        result.ok = true;
        return result;
    }
    const auto lock = hold_writes();
    return commit_held(files, message, on_branch);
}

BatchCommitResult GiteaService::commit_held(const std::vector<BatchFile>& files, const std::string& message,
                                            const std::string& branch) {
    const ForgeJsonBody body = gitea_batch_body(files, message, branch);
    const TokenAnswer answer = client().write(repository_api() + "/contents", kHttpPost, body);
    if (gitea_batch_unsupported(answer))
        return commit_each(files, message, branch);
    return read_gitea_batch_answer(answer, files);
}

BatchCommitResult GiteaService::commit_each(const std::vector<BatchFile>& files, const std::string& message,
                                            const std::string& branch) {
    BatchCommitResult result;
    for (const BatchFile& file : files) {
        if (file.remove) {
            const ContentsDeleteResult deleted = delete_held(file.path, file.sha, message, branch);
            if (deleted.kind == ContentsDeleteResult::Kind::failed) {
                result.reason = visible_text(file.path) + utf8_to_gbk(" 没有删除：") + deleted.reason;
                return result;
            }
            continue;
        }
        const ContentsApiResult created = create_held(file.path, file.bytes, message, branch);
        if (created.ok)
            continue;
        if (created.maybe_stored) {
            const StoredContents stored = lookup(file.path);
            if (stored.kind == StoredContents::Kind::file && stored.sha == git_blob_sha1(file.bytes))
                continue;
        }
        result.reason = visible_text(file.path) + utf8_to_gbk(" 没有写入：") + created.reason;
        result.maybe_stored = created.maybe_stored;
        return result;
    }
    result.ok = true;
    return result;
}

ClearOutcome GiteaService::clear() {
    ClearOutcome outcome;
    const std::string on_branch = branch(outcome.reason);
    if (!outcome.reason.empty())
        return outcome;
    const auto lock = hold_writes();
    std::vector<GiteaRootEntry> entries;
    bool missing = false;
    if (!gitea_list_root(client(), repository_api(), on_branch, entries, outcome.reason, missing)) {
        // A repository without any commit has no root folder to list, and nothing to clear.
        if (missing && forge_repository_info(client(), repository_api()).empty) {
            outcome.ok = true;
            outcome.reason.clear();
        }
        return outcome;
    }
    std::vector<BatchFile> files;
    for (const GiteaRootEntry& entry : entries)
        if (entry.file)
            files.push_back({entry.path, {}, true, entry.sha});
    for (std::size_t start = 0; start < files.size(); start += kBatchLimit) {
        const auto end = files.begin() + static_cast<std::ptrdiff_t>(std::min(files.size(), start + kBatchLimit));
        const std::vector<BatchFile> batch(files.begin() + static_cast<std::ptrdiff_t>(start), end);
        const BatchCommitResult committed = commit_held(batch, forge_clear_message(), on_branch);
        if (!committed.ok) {
            outcome.reason = committed.reason;
            return outcome;
        }
    }
    outcome.reason = folders_left(entries);
    outcome.ok = outcome.reason.empty();
    return outcome;
}

std::string GiteaService::repository_page() const {
    return effective_service_url(profile_) + profile_.owner + "/" + profile_.repo;
}

std::string GiteaService::raw_address(const std::string& path) const {
    std::string reason;
    const std::string on_branch = branch(reason);
    if (on_branch.empty())
        return {};
    return effective_service_url(profile_) + profile_.owner + "/" + profile_.repo + "/raw/branch/" +
           forge_path_piece(on_branch) + "/" + path;
}

} // namespace velpic
