// An in-process stand-in for a git forge: GitHub's REST API (repository, contents, Git Data: blobs, trees, commits,
// refs) or Gitea's (repository, contents, multi-file commits), each over an in-memory git repository, and raw-file
// downloads. Listens on 127.0.0.1 on a free port, records every request with its headers, and imitates what makes
// a client wait or retry: 409 for writes to one repository that overlap, 403/429 with Retry-After or an exhausted
// rate limit, and one-shot answers.
#pragma once

#include "support/forge_test_git.h"
#include "support/test_service.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace velpic::test {

class ForgeTestService {
public:
    enum class Flavor { github, gitea };
    // How a rate-limited write is answered.
    enum class Limit { retry_after_429, retry_after_403, exhausted_403 };

    explicit ForgeTestService(Flavor flavor);
    ~ForgeTestService();
    ForgeTestService(const ForgeTestService&) = delete;
    ForgeTestService& operator=(const ForgeTestService&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    Flavor flavor() const { return flavor_; }
    // "http://127.0.0.1:PORT/": GitHub's API address or Gitea's site address, as a profile's service_url.
    std::string base() const;
    // What raw-file addresses start with: for GitHub the value of VELPIC_RAW_BASE (files at
    // /OWNER/REPO/BRANCH/PATH; API paths all start with /repos/), for Gitea the site (/OWNER/REPO/raw/branch/…).
    std::string raw_base() const { return base(); }

    // The token the API accepts ("tok" unless set).
    void set_access_token(const std::string& token);
    // A repository the API knows; without one every call about it answers 404. Empty: no commit, no branch yet.
    void add_repository(const std::string& owner, const std::string& repo, bool is_private = false,
                        const std::string& default_branch = "main");
    // Commits a file to the default branch, as another client would.
    void put_file(const std::string& owner, const std::string& repo, const std::string& path, std::string bytes);
    std::optional<std::string> file(const std::string& owner, const std::string& repo, const std::string& path) const;
    std::vector<std::string> file_names(const std::string& owner, const std::string& repo) const;
    // Commits that became the head of a branch of the repository.
    std::size_t commits_made(const std::string& owner, const std::string& repo) const;

    // Gitea before 1.20: the multi-file call answers 405.
    void set_multi_file_supported(bool supported);
    // Every write stays in flight this long, so that two overlapping writes can be seen (the later one gets 409).
    void set_write_delay(std::chrono::milliseconds delay);
    // The next count writes are refused as rate-limited, asking for a wait of one second.
    void limit_next_writes(int count, Limit limit = Limit::retry_after_429);
    // One-shot: the next request with this method and path (no query) gets answer, and nothing is done.
    void preset_answer(const std::string& method, const std::string& path, ServiceAnswer answer);
    // One-shot: the next such request is done as usual, but answered with answer (e.g. a 502: a lost answer).
    void answer_after_handling(const std::string& method, const std::string& path, ServiceAnswer answer);

    std::vector<ServiceRequest> requests() const;
    // Requests by kind: "repository", "create", "lookup", "delete", "list", "multi", "ref", "read_commit",
    // "read_tree", "blob", "tree", "commit", "ref_update", "raw"; and "conflict", "limited" for refusals.
    std::size_t count(const std::string& kind) const;
    // Waits (bounded) until at least n requests have been recorded.
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    // Forgets the requests recorded and the counts.
    void forget_requests();

private:
    // What a request names.
    struct Route {
        std::string kind; // as count() names them; empty: no such route
        std::string owner;
        std::string repo;
        std::string rest; // the file path, the object's SHA-1 or the branch
    };
    Route route_of(const ServiceRequest& request) const;
    void serve(const httplib::Request& req, httplib::Response& res);
    ServiceAnswer handle(const ServiceRequest& request);
    ServiceAnswer handle_write(const ServiceRequest& request, const Route& route);
    // The answers, with mutex_ held.
    ServiceAnswer contents(const ServiceRequest& request, const Route& route, ForgeGitRepository& repository);
    ServiceAnswer multi_file(const ServiceRequest& request, const Route& route, ForgeGitRepository& repository);
    ServiceAnswer github_git(const ServiceRequest& request, const Route& route, ForgeGitRepository& repository);
    ServiceAnswer repository_answer(const Route& route, const ForgeGitRepository& repository) const;
    ServiceAnswer raw(const ServiceRequest& request, const Route& route) const;
    nlohmann::json content_json(const Route& route, const std::string& branch, const std::string& path,
                                const ForgeGitRepository& repository, bool with_bytes) const;
    nlohmann::json commit_json(const Route& route, const std::string& sha, const ForgeGitRepository& repository) const;
    std::string api_root(const Route& route) const;
    bool token_accepted(const ServiceRequest& request) const;
    ServiceAnswer limited_answer() const;
    ForgeGitRepository* repository(const std::string& owner, const std::string& repo);

    Flavor flavor_;
    int port_ = 0;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::string token_ = "tok";
    bool multi_file_ = true;
    std::chrono::milliseconds write_delay_{0};
    int limited_writes_ = 0;
    Limit limit_ = Limit::retry_after_429;
    std::map<std::string, std::deque<ServiceAnswer>> presets_;
    std::map<std::string, std::deque<ServiceAnswer>> after_handling_;
    std::map<std::string, ForgeGitRepository> repositories_; // by "owner/repo"
    std::vector<ServiceRequest> requests_;
    std::map<std::string, std::size_t> counts_;
};

} // namespace velpic::test
