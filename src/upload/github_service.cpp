#include "upload/github_service.h"

#include "http/http_method.h"
#include "runtime/codepage.h"
#include "upload/github_git_data.h"

#include <cstdlib>

namespace velpic {

namespace {

// Each file of a batch is one blob request, so a full batch spends a little over a minute of GitHub's write budget
// (forge_pacer.h); fewer files per commit would only mean more commits.
constexpr std::size_t kBatchLimit = 100;
// GitHub's secondary limits on content-creating requests.
constexpr ForgeClient::WriteLimits kWriteLimits{80, 500};
constexpr const char* kGithubApi = "https://api.github.com/";

std::string raw_base() {
    const char* configured = std::getenv("VELPIC_RAW_BASE");
    std::string base = configured != nullptr && *configured != '\0' ? configured : "https://raw.githubusercontent.com/";
    if (base.back() != '/')
        base.push_back('/');
    return base;
}

// The web site in front of an API address: github.com for api.github.com; a GitHub Enterprise server ("…/api/v3/")
// or a test service serves both on one host.
std::string web_root(const std::string& service_url) {
    if (service_url == kGithubApi)
        return "https://github.com/";
    const auto host_start = service_url.find("://");
    if (host_start == std::string::npos)
        return service_url;
    return service_url.substr(0, service_url.find('/', host_start + 3) + 1);
}

// The write limits are github.com's own; a GitHub Enterprise server sets its own and says so with Retry-After,
// which is waited out all the same.
ForgeClient::WriteLimits write_limits(const RepositoryProfile& profile) {
    return effective_service_url(profile) == kGithubApi ? kWriteLimits : ForgeClient::WriteLimits{};
}

} // namespace

GithubService::GithubService(const RepositoryProfile& profile)
    : ForgeService(profile, {effective_service_url(profile) + "repos/" + profile.owner + "/" + profile.repo,
                             "Bearer " + profile.access_token, "application/vnd.github+json", kHttpPut,
                             write_limits(profile)}) {}

std::size_t GithubService::batch_limit() const {
    return kBatchLimit;
}

BatchCommitResult GithubService::commit_files(const std::vector<BatchFile>& files, const std::string& message) {
    BatchCommitResult result;
    const std::string on_branch = batch_branch(files, kBatchLimit, result.reason);
    if (!result.reason.empty())
        return result;
    const auto lock = hold_writes();
    const GithubGit git{client(), repository_api(), on_branch};
    const GitHead head = github_read_head(git);
    if (head.state == GitHead::State::failed) {
        result.reason = head.reason;
        return result;
    }
    std::vector<BatchFile> rest;
    for (const BatchFile& file : files)
        if (head.state == GitHead::State::ok || !file.remove) // nothing to remove from an empty repository
            rest.push_back(file);
    if (head.state == GitHead::State::empty && !rest.empty()) {
        // The Git Data API works only in a repository that has a commit: the first file makes one.
        const ContentsApiResult first = create_held(rest.front().path, rest.front().bytes, message, on_branch);
        if (!first.ok) {
            result.reason = first.reason;
            result.maybe_stored = first.maybe_stored;
            return result;
        }
        rest.erase(rest.begin());
    }
    if (rest.empty()) {
        result.ok = true;
        return result;
    }
    std::vector<GitTreeEntry> change;
    for (const BatchFile& file : rest) {
        std::string sha;
        if (!file.remove && (sha = github_make_blob(git, file.bytes, result.reason)).empty())
            return result;
        change.push_back({file.path, "100644", "blob", sha});
    }
    return github_commit_change(git, change, message);
}

ClearOutcome GithubService::clear() {
    ClearOutcome outcome;
    const std::string on_branch = branch(outcome.reason);
    if (!outcome.reason.empty())
        return outcome;
    const auto lock = hold_writes();
    const GithubGit git{client(), repository_api(), on_branch};
    const GitHead head = github_read_head(git);
    if (head.state == GitHead::State::failed) {
        outcome.reason = head.reason;
        return outcome;
    }
    std::vector<GitTreeEntry> entries;
    if (head.state == GitHead::State::ok && !github_read_tree(git, head.tree, entries, outcome.reason))
        return outcome;
    if (entries.empty()) {
        outcome.ok = true;
        return outcome;
    }
    for (GitTreeEntry& entry : entries)
        entry.sha.clear();
    const BatchCommitResult committed = github_commit_change(git, entries, forge_clear_message());
    outcome.ok = committed.ok;
    outcome.reason = committed.reason;
    return outcome;
}

std::string GithubService::repository_page() const {
    return web_root(effective_service_url(profile_)) + profile_.owner + "/" + profile_.repo;
}

std::string GithubService::raw_address(const std::string& path) const {
    std::string reason;
    const std::string on_branch = branch(reason);
    if (on_branch.empty())
        return {};
    return raw_base() + profile_.owner + "/" + profile_.repo + "/" + forge_path_piece(on_branch) + "/" + path;
}

} // namespace velpic
