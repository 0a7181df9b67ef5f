// The forge stand-in's contents API: one file created, read, listed or deleted per request, and Gitea's commit of
// several files at once; GitHub's and Gitea's answers differ only where the real ones do.
#include "support/forge_test_answers.h"
#include "support/forge_test_service.h"

namespace velpic::test {

using namespace forge;

namespace {

ServiceAnswer taken(ForgeTestService::Flavor flavor, const std::string& path) {
    if (flavor == ForgeTestService::Flavor::github)
        return message_answer(422, "Invalid request.\n\n\"sha\" wasn't supplied.");
    return message_answer(422, "repository file already exists [path: " + path + "]");
}

ServiceAnswer missing(ForgeTestService::Flavor flavor) {
    return message_answer(404, flavor == ForgeTestService::Flavor::github ? "Not Found" : "GetContentsOrList");
}

} // namespace

ServiceAnswer ForgeTestService::contents(const ServiceRequest& request, const Route& route,
                                         ForgeGitRepository& repository) {
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    std::string branch = request.method == "GET" ? query_value(request.target, "ref") : text_of(body, "branch");
    if (branch.empty())
        branch = repository.default_branch;
    const ForgeTree* tree = repository.head_tree(branch);
    const bool present = tree != nullptr && tree->count(route.rest) != 0;

    if (route.kind == "lookup")
        return present ? json_answer(200, content_json(route, branch, route.rest, repository, true)) : missing(flavor_);
    if (route.kind == "list") {
        if (tree == nullptr)
            return missing(flavor_); // a repository without commits has no root to list
        nlohmann::json entries = nlohmann::json::array();
        for (const auto& [name, entry] : *tree)
            entries.push_back(content_json(route, branch, name, repository, false));
        return json_answer(200, entries);
    }

    const std::string message = text_of(body, "message");
    if (body.is_discarded() || (message.empty() && flavor_ == Flavor::github))
        return message_answer(422, "Invalid request.\n\n\"message\" wasn't supplied.");
    // A write names a branch that exists, except the first commit of an empty repository.
    if (tree == nullptr && !(repository.empty() && route.kind == "create" && branch == repository.default_branch))
        return message_answer(404, "Branch not found");
    if (route.kind == "create") {
        if (present)
            return taken(flavor_, route.rest);
        const std::string head =
            repository.commit_change(branch, {{route.rest, base64_decode(text_of(body, "content"))}}, message);
        return json_answer(201, {{"content", content_json(route, branch, route.rest, repository, false)},
                                 {"commit", commit_json(route, head, repository)}});
    }
    // delete
    if (!present)
        return missing(flavor_);
    const std::string sha = text_of(body, "sha");
    if (sha.empty())
        return message_answer(422, "Invalid request.\n\n\"sha\" wasn't supplied.");
    if (sha != tree->at(route.rest).sha)
        return message_answer(flavor_ == Flavor::github ? 409 : 422, route.rest + " does not match " + sha);
    const std::string head = repository.commit_change(branch, {{route.rest, std::nullopt}}, message);
    return json_answer(200, {{"content", nullptr}, {"commit", commit_json(route, head, repository)}});
}

ServiceAnswer ForgeTestService::multi_file(const ServiceRequest& request, const Route& route,
                                           ForgeGitRepository& repository) {
    if (!multi_file_)
        return message_answer(405, "Method Not Allowed");
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.contains("files") || !body["files"].is_array() || body["files"].empty())
        return message_answer(422, "[Files]: Required");
    std::string branch = text_of(body, "branch");
    if (branch.empty())
        branch = repository.default_branch;
    const ForgeTree* tree = repository.head_tree(branch);
    if (tree == nullptr && !(repository.empty() && branch == repository.default_branch))
        return message_answer(404, "Branch not found");
    std::map<std::string, std::optional<std::string>> change;
    for (const nlohmann::json& file : body["files"]) {
        const std::string path = text_of(file, "path");
        const std::string operation = text_of(file, "operation");
        const bool present = tree != nullptr && tree->count(path) != 0;
        if (operation == "create" && present)
            return taken(flavor_, path);
        if (operation == "delete" && !present)
            return message_answer(404, "file does not exist [path: " + path + "]");
        if (operation == "delete" && text_of(file, "sha") != tree->at(path).sha)
            return message_answer(422, "sha does not match [given: " + text_of(file, "sha") + "]");
        if (operation != "create" && operation != "delete")
            return message_answer(422, "operation is not supported: " + operation);
        change[path] = operation == "create" ? std::optional(base64_decode(text_of(file, "content"))) : std::nullopt;
    }
    const std::string head = repository.commit_change(branch, change, text_of(body, "message"));
    nlohmann::json files = nlohmann::json::array();
    for (const nlohmann::json& file : body["files"])
        files.push_back(text_of(file, "operation") == "create"
                            ? content_json(route, branch, text_of(file, "path"), repository, false)
                            : nlohmann::json(nullptr));
    return json_answer(201, {{"files", files}, {"commit", commit_json(route, head, repository)}});
}

} // namespace velpic::test
