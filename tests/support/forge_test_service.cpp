#include "support/forge_test_service.h"

#include "support/forge_test_answers.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace velpic::test {

namespace forge {

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = path.starts_with("/") ? 1 : 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string path_tail(const std::vector<std::string>& parts, std::size_t count) {
    std::string tail;
    for (std::size_t i = count; i < parts.size(); ++i)
        tail += (i > count ? "/" : "") + parts[i];
    return tail;
}

std::string query_value(const std::string& target, const std::string& name) {
    const std::size_t question = target.find('?');
    if (question == std::string::npos)
        return {};
    httplib::Params params;
    httplib::detail::parse_query_text(target.substr(question + 1), params);
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

std::string text_of(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return {};
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace forge

using namespace forge;

namespace {

const std::string kRawToken = "GHSAT0AAAAAexpiring"; // what a private repository's download addresses carry

bool is_write(const std::string& kind) {
    static const std::vector<std::string> writes = {"create", "delete", "multi",     "blob",
                                                    "tree",   "commit", "ref_update"};
    return std::find(writes.begin(), writes.end(), kind) != writes.end();
}

std::string picture_type(const std::string& path) {
    if (path.ends_with(".png"))
        return "image/png";
    if (path.ends_with(".jpg") || path.ends_with(".jpeg"))
        return "image/jpeg";
    return "application/octet-stream";
}

} // namespace

ForgeTestService::ForgeTestService(Flavor flavor) : flavor_(flavor), server_(std::make_unique<httplib::Server>()) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
    server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        port_ = 0;
        return;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() before the loop has begun does nothing, and the loop would then never end: the server tells no one
    // when it begins, so it is looked at, for a bounded time.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ForgeTestService::~ForgeTestService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::string ForgeTestService::base() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string ForgeTestService::api_root(const Route& route) const {
    return base() + (flavor_ == Flavor::github ? "repos/" : "api/v1/repos/") + route.owner + "/" + route.repo;
}

void ForgeTestService::set_access_token(const std::string& token) {
    std::lock_guard lock(mutex_);
    token_ = token;
}

void ForgeTestService::add_repository(const std::string& owner, const std::string& repo, bool is_private,
                                      const std::string& default_branch) {
    std::lock_guard lock(mutex_);
    ForgeGitRepository& added = repositories_[owner + "/" + repo];
    added.is_private = is_private;
    added.default_branch = default_branch;
}

ForgeGitRepository* ForgeTestService::repository(const std::string& owner, const std::string& repo) {
    auto it = repositories_.find(owner + "/" + repo);
    return it == repositories_.end() ? nullptr : &it->second;
}

void ForgeTestService::put_file(const std::string& owner, const std::string& repo, const std::string& path,
                                std::string bytes) {
    std::lock_guard lock(mutex_);
    if (ForgeGitRepository* at = repository(owner, repo))
        at->commit_change(at->default_branch, {{path, std::move(bytes)}}, "put by the test");
}

std::optional<std::string> ForgeTestService::file(const std::string& owner, const std::string& repo,
                                                  const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = repositories_.find(owner + "/" + repo);
    const ForgeTree* tree = it == repositories_.end() ? nullptr : it->second.head_tree(it->second.default_branch);
    auto entry = tree == nullptr ? ForgeTree::const_iterator() : tree->find(path);
    if (tree == nullptr || entry == tree->end())
        return std::nullopt;
    return *it->second.blob(entry->second.sha);
}

std::vector<std::string> ForgeTestService::file_names(const std::string& owner, const std::string& repo) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    auto it = repositories_.find(owner + "/" + repo);
    if (it != repositories_.end())
        if (const ForgeTree* tree = it->second.head_tree(it->second.default_branch))
            for (const auto& [name, entry] : *tree)
                names.push_back(name);
    return names;
}

std::size_t ForgeTestService::commits_made(const std::string& owner, const std::string& repo) const {
    std::lock_guard lock(mutex_);
    auto it = repositories_.find(owner + "/" + repo);
    return it == repositories_.end() ? 0 : it->second.commits_made;
}

void ForgeTestService::set_multi_file_supported(bool supported) {
    std::lock_guard lock(mutex_);
    multi_file_ = supported;
}

void ForgeTestService::set_write_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    write_delay_ = delay;
}

void ForgeTestService::limit_next_writes(int count, Limit limit) {
    std::lock_guard lock(mutex_);
    limited_writes_ = count;
    limit_ = limit;
}

void ForgeTestService::preset_answer(const std::string& method, const std::string& path, ServiceAnswer answer) {
    std::lock_guard lock(mutex_);
    presets_[method + " " + path].push_back(std::move(answer));
}

void ForgeTestService::answer_after_handling(const std::string& method, const std::string& path, ServiceAnswer answer) {
    std::lock_guard lock(mutex_);
    after_handling_[method + " " + path].push_back(std::move(answer));
}

std::vector<ServiceRequest> ForgeTestService::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ForgeTestService::count(const std::string& kind) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(kind);
    return it == counts_.end() ? 0 : it->second;
}

bool ForgeTestService::wait_for_requests(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return requests_.size() >= n; });
}

void ForgeTestService::forget_requests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    counts_.clear();
}

ForgeTestService::Route ForgeTestService::route_of(const ServiceRequest& request) const {
    const std::vector<std::string> parts = split_path(request.path);
    const std::string& method = request.method;
    Route route;
    const std::size_t at = flavor_ == Flavor::github ? 1 : 3; // where the owner's segment is
    const bool api = flavor_ == Flavor::github
                         ? !parts.empty() && parts[0] == "repos"
                         : parts.size() >= 3 && parts[0] == "api" && parts[1] == "v1" && parts[2] == "repos";
    if (!api) {
        // Raw files: GitHub /OWNER/REPO/BRANCH/PATH, Gitea /OWNER/REPO/raw/branch/BRANCH/PATH.
        const bool github = flavor_ == Flavor::github && parts.size() >= 4;
        const bool gitea = parts.size() >= 6 && parts[2] == "raw" && parts[3] == "branch";
        if (method == "GET" && (github || gitea)) {
            route = {"raw", parts[0], parts[1], path_tail(parts, github ? 3 : 5)};
            route.rest = (github ? parts[2] : parts[4]) + "\n" + route.rest; // branch, then path
        }
        return route;
    }
    if (parts.size() < at + 2)
        return route;
    route.owner = parts[at];
    route.repo = parts[at + 1];
    const std::size_t below = at + 2; // the first segment under the repository
    const std::string section = parts.size() > below ? parts[below] : "";
    const std::string object = parts.size() > below + 1 ? parts[below + 1] : "";
    if (parts.size() == below && method == "GET") {
        route.kind = "repository";
    } else if (section == "contents") {
        route.rest = path_tail(parts, below + 1);
        if (route.rest.empty())
            route.kind = method == "GET" ? "list" : method == "POST" && flavor_ == Flavor::gitea ? "multi" : "";
        else if (method == "GET" || method == "DELETE")
            route.kind = method == "GET" ? "lookup" : "delete";
        else if (method == (flavor_ == Flavor::github ? "PUT" : "POST"))
            route.kind = "create";
    } else if (section == "git" && flavor_ == Flavor::github) {
        route.rest = path_tail(parts, below + 2);
        if (method == "GET" && object == "ref" && parts.size() > below + 3 && parts[below + 2] == "heads")
            route = {"ref", route.owner, route.repo, path_tail(parts, below + 3)};
        else if (method == "GET" && (object == "commits" || object == "trees"))
            route.kind = object == "commits" ? "read_commit" : "read_tree";
        else if (method == "POST" && (object == "blobs" || object == "trees" || object == "commits"))
            route.kind = object.substr(0, object.size() - 1);
        else if (method == "PATCH" && object == "refs" && parts.size() > below + 3 && parts[below + 2] == "heads")
            route = {"ref_update", route.owner, route.repo, path_tail(parts, below + 3)};
    }
    return route;
}

void ForgeTestService::serve(const httplib::Request& req, httplib::Response& res) {
    ServiceRequest request;
    request.method = req.method;
    request.target = req.target;
    request.path = req.path;
    for (const auto& [name, value] : req.headers)
        request.headers.emplace_back(name, value);
    request.body = req.body;
    request.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        requests_.back().received = std::chrono::steady_clock::now();
    }
    changed_.notify_all();

    ServiceAnswer answer = handle(request);
    {
        std::lock_guard lock(mutex_);
        auto it = after_handling_.find(request.method + " " + request.path);
        if (it != after_handling_.end() && !it->second.empty()) {
            answer = std::move(it->second.front());
            it->second.pop_front();
        }
    }
    res.status = answer.status;
    std::string type = "text/plain";
    for (const auto& [name, value] : answer.headers) {
        if (name == "Content-Type")
            type = value;
        else
            res.set_header(name, value);
    }
    if (flavor_ == Flavor::github && !answer.headers.empty() && type.starts_with("application/json")) {
        res.set_header("x-ratelimit-limit", "5000");
        if (!res.has_header("x-ratelimit-remaining"))
            res.set_header("x-ratelimit-remaining", "4999");
    }
    if (answer.status != 204)
        res.set_content(answer.body, type);
}

bool ForgeTestService::token_accepted(const ServiceRequest& request) const {
    return request.header("Authorization") == (flavor_ == Flavor::github ? "Bearer " : "token ") + token_;
}

ServiceAnswer ForgeTestService::limited_answer() const {
    ServiceAnswer answer = message_answer(limit_ == Limit::retry_after_429 ? 429 : 403,
                                          "You have exceeded a secondary rate limit. Please wait a few minutes "
                                          "before you try again.");
    if (limit_ == Limit::exhausted_403) {
        answer.headers.emplace_back("x-ratelimit-remaining", "0");
        answer.headers.emplace_back("x-ratelimit-reset", std::to_string(std::time(nullptr) + 1));
    } else {
        answer.headers.emplace_back("Retry-After", "1");
    }
    return answer;
}

ServiceAnswer ForgeTestService::handle(const ServiceRequest& request) {
    const Route route = route_of(request);
    {
        std::lock_guard lock(mutex_);
        ++counts_[route.kind.empty() ? "unknown" : route.kind];
        auto it = presets_.find(request.method + " " + request.path);
        if (it != presets_.end() && !it->second.empty()) {
            ServiceAnswer answer = std::move(it->second.front());
            it->second.pop_front();
            return answer;
        }
    }
    if (route.kind.empty())
        return message_answer(404, "Not Found");
    if (route.kind == "raw")
        return raw(request, route);
    if (!token_accepted(request))
        return message_answer(401, "Bad credentials");
    if (is_write(route.kind))
        return handle_write(request, route);
    std::lock_guard lock(mutex_);
    ForgeGitRepository* at = repository(route.owner, route.repo);
    if (at == nullptr)
        return message_answer(404, "Not Found");
    if (route.kind == "repository")
        return repository_answer(route, *at);
    if (flavor_ == Flavor::github && route.kind != "lookup" && route.kind != "list")
        return github_git(request, route, *at);
    return contents(request, route, *at);
}

ServiceAnswer ForgeTestService::handle_write(const ServiceRequest& request, const Route& route) {
    std::unique_lock lock(mutex_);
    if (limited_writes_ > 0) {
        --limited_writes_;
        ++counts_["limited"];
        return limited_answer();
    }
    ForgeGitRepository* at = repository(route.owner, route.repo);
    if (at == nullptr)
        return message_answer(404, "Not Found");
    // Another write still in flight in this repository: the forge refuses the later one.
    const bool overlapping = at->writes_in_flight++ > 0;
    changed_.wait_for(lock, write_delay_, [this] { return stopping_; });
    --at->writes_in_flight;
    if (overlapping) {
        ++counts_["conflict"];
        return message_answer(409, "is at " + at->head(at->default_branch) + " but expected another commit");
    }
    if (route.kind == "multi")
        return multi_file(request, route, *at);
    if (route.kind == "create" || route.kind == "delete")
        return contents(request, route, *at);
    return github_git(request, route, *at);
}

ServiceAnswer ForgeTestService::repository_answer(const Route& route, const ForgeGitRepository& repository) const {
    nlohmann::json body = {{"id", 1},
                           {"name", route.repo},
                           {"full_name", route.owner + "/" + route.repo},
                           {"owner", {{"login", route.owner}}},
                           {"private", repository.is_private},
                           {"html_url", base() + route.owner + "/" + route.repo},
                           {"default_branch", repository.default_branch},
                           {"permissions", {{"admin", true}, {"push", true}, {"pull", true}}}};
    if (flavor_ == Flavor::gitea)
        body["empty"] = repository.empty();
    return json_answer(200, body);
}

ServiceAnswer ForgeTestService::raw(const ServiceRequest& request, const Route& route) const {
    const std::string branch = route.rest.substr(0, route.rest.find('\n'));
    const std::string path = route.rest.substr(route.rest.find('\n') + 1);
    std::lock_guard lock(mutex_);
    auto it = repositories_.find(route.owner + "/" + route.repo);
    const ForgeTree* tree = it == repositories_.end() ? nullptr : it->second.head_tree(branch);
    const bool allowed =
        tree != nullptr && (!it->second.is_private || query_value(request.target, "token") == kRawToken);
    auto entry = allowed ? tree->find(path) : ForgeTree::const_iterator();
    if (!allowed || entry == tree->end())
        return message_answer(404, "404: Not Found");
    ServiceAnswer answer;
    answer.headers = {{"Content-Type", picture_type(path)}};
    answer.body = *it->second.blob(entry->second.sha);
    return answer;
}

nlohmann::json ForgeTestService::content_json(const Route& route, const std::string& branch, const std::string& path,
                                              const ForgeGitRepository& repository, bool with_bytes) const {
    const ForgeTree* tree = repository.head_tree(branch);
    const ForgeTreeEntry& entry = tree->at(path);
    const std::string& bytes = *repository.blob(entry.sha);
    const std::string web = base() + route.owner + "/" + route.repo;
    std::string download = flavor_ == Flavor::github
                               ? raw_base() + route.owner + "/" + route.repo + "/" + branch + "/" + path
                               : web + "/raw/branch/" + branch + "/" + path;
    if (repository.is_private)
        download += "?token=" + kRawToken;
    const std::string self = api_root(route) + "/contents/" + path + "?ref=" + branch;
    nlohmann::json content = {{"name", path.substr(path.rfind('/') + 1)},
                              {"path", path},
                              {"sha", entry.sha},
                              {"size", bytes.size()},
                              {"url", self},
                              {"html_url", web + "/blob/" + branch + "/" + path},
                              {"git_url", api_root(route) + "/git/blobs/" + entry.sha},
                              {"download_url", download},
                              {"type", "file"},
                              {"_links", {{"self", self}, {"git", api_root(route) + "/git/blobs/" + entry.sha}}}};
    if (flavor_ == Flavor::gitea)
        content["last_commit_sha"] = repository.head(branch);
    if (with_bytes) {
        content["encoding"] = "base64";
        content["content"] = base64_encode(bytes);
    }
    return content;
}

nlohmann::json ForgeTestService::commit_json(const Route& route, const std::string& sha,
                                             const ForgeGitRepository& repository) const {
    const ForgeCommit& commit = *repository.commit(sha);
    nlohmann::json parents = nlohmann::json::array();
    for (const std::string& parent : commit.parents)
        parents.push_back({{"sha", parent}, {"url", api_root(route) + "/git/commits/" + parent}});
    return {{"sha", sha},
            {"url", api_root(route) + "/git/commits/" + sha},
            {"message", commit.message},
            {"author", {{"name", route.owner}, {"email", route.owner + "@example.invalid"}}},
            {"tree", {{"sha", commit.tree}, {"url", api_root(route) + "/git/trees/" + commit.tree}}},
            {"parents", parents}};
}

} // namespace velpic::test
