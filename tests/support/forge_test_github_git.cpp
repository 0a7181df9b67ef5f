// The forge stand-in's GitHub Git Data API: refs, commits and trees read; blobs, trees and commits made; a branch
// moved only by a fast-forward.
#include "support/forge_test_answers.h"
#include "support/forge_test_service.h"

namespace velpic::test {

using namespace forge;

namespace {

bool is_sha(const std::string& text) {
    return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

ServiceAnswer ForgeTestService::github_git(const ServiceRequest& request, const Route& route,
                                           ForgeGitRepository& repository) {
    const std::string api = api_root(route);
    if (repository.empty()) // GitHub's Git Data API works only in a repository that has a commit
        return message_answer(409, "Git Repository is empty.");
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);

    if (route.kind == "ref") {
        const std::string head = repository.head(route.rest);
        if (head.empty())
            return message_answer(404, "Not Found");
        return json_answer(200,
                           {{"ref", "refs/heads/" + route.rest},
                            {"url", api + "/git/refs/heads/" + route.rest},
                            {"object", {{"sha", head}, {"type", "commit"}, {"url", api + "/git/commits/" + head}}}});
    }
    if (route.kind == "read_commit")
        return repository.commit(route.rest) == nullptr ? message_answer(404, "Not Found")
                                                        : json_answer(200, commit_json(route, route.rest, repository));
    if (route.kind == "read_tree") {
        const ForgeTree* tree = repository.tree(route.rest);
        if (tree == nullptr)
            return message_answer(404, "Not Found");
        nlohmann::json entries = nlohmann::json::array();
        for (const auto& [name, entry] : *tree)
            entries.push_back({{"path", name},
                               {"mode", entry.mode},
                               {"type", entry.type},
                               {"sha", entry.sha},
                               {"size", repository.blob(entry.sha) ? repository.blob(entry.sha)->size() : 0},
                               {"url", api + "/git/blobs/" + entry.sha}});
        return json_answer(
            200,
            {{"sha", route.rest}, {"url", api + "/git/trees/" + route.rest}, {"tree", entries}, {"truncated", false}});
    }
    if (route.kind == "blob") {
        if (text_of(body, "encoding") != "base64")
            return message_answer(422, "Invalid request.\n\n\"encoding\" wasn't supplied.");
        const std::string sha = repository.put_blob(base64_decode(text_of(body, "content")));
        return json_answer(201, {{"sha", sha}, {"url", api + "/git/blobs/" + sha}});
    }
    if (route.kind == "tree") {
        const std::string base = text_of(body, "base_tree");
        if (!base.empty() && repository.tree(base) == nullptr)
            return message_answer(422, "Invalid tree info");
        ForgeTree tree = base.empty() ? ForgeTree() : *repository.tree(base);
        if (!body.contains("tree") || !body["tree"].is_array())
            return message_answer(422, "Invalid request.\n\n\"tree\" wasn't supplied.");
        for (const nlohmann::json& entry : body["tree"]) {
            const std::string path = text_of(entry, "path");
            if (path.empty() || path.find('/') != std::string::npos) // the stand-in keeps only a root folder
                return message_answer(422, "Invalid tree info");
            if (entry.contains("sha") && entry["sha"].is_null()) {
                tree.erase(path);
                continue;
            }
            const std::string sha = text_of(entry, "sha");
            if (!is_sha(sha) || (text_of(entry, "type") == "blob" && repository.blob(sha) == nullptr))
                return message_answer(422, "Invalid tree info");
            tree[path] = ForgeTreeEntry{text_of(entry, "mode"), text_of(entry, "type"), sha};
        }
        const std::string sha = repository.put_tree(tree);
        return json_answer(201, {{"sha", sha}, {"url", api + "/git/trees/" + sha}, {"truncated", false}});
    }
    if (route.kind == "commit") {
        const std::string tree = text_of(body, "tree");
        if (text_of(body, "message").empty())
            return message_answer(422, "Invalid request.\n\n\"message\" wasn't supplied.");
        if (repository.tree(tree) == nullptr)
            return message_answer(422, "Tree SHA does not exist");
        ForgeCommit commit{tree, {}, text_of(body, "message")};
        for (const nlohmann::json& parent : body.value("parents", nlohmann::json::array())) {
            if (!parent.is_string() || repository.commit(parent.get<std::string>()) == nullptr)
                return message_answer(422, "Parent SHA does not exist or is not a commit object");
            commit.parents.push_back(parent.get<std::string>());
        }
        const std::string sha = repository.put_commit(std::move(commit));
        return json_answer(201, commit_json(route, sha, repository));
    }
    // ref_update
    const std::string head = repository.head(route.rest);
    const std::string target = text_of(body, "sha");
    if (head.empty())
        return message_answer(422, "Reference does not exist");
    if (repository.commit(target) == nullptr)
        return message_answer(422, "Object does not exist");
    if (!(body.is_object() && body.value("force", false)) && !repository.descends_from(target, head))
        return message_answer(422, "Update is not a fast forward");
    repository.move_branch(route.rest, target);
    return json_answer(200,
                       {{"ref", "refs/heads/" + route.rest},
                        {"object", {{"sha", target}, {"type", "commit"}, {"url", api + "/git/commits/" + target}}}});
}

} // namespace velpic::test
