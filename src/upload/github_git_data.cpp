#include "upload/github_git_data.h"

#include "http/http_method.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "script/script_json.h"
#include "upload/contents_request_body.h"
#include "upload/forge_answer.h"
#include "upload/forge_service.h"
#include "upload/git_blob.h"

namespace velpic {

namespace {

// A branch moved this many times while one change was being built means someone else keeps writing to it.
constexpr int kCommitRounds = 3;

std::string git_url(const GithubGit& git, const std::string& tail) {
    return git.repository_api + "/git/" + tail;
}

// An object name of the answer, lower case, when it is one: it goes into later request bodies as it is.
std::string object_name(const ScriptJson& json, std::string_view member) {
    const std::string text = text_lower(json.get_text(member));
    return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string::npos ? text : "";
}

std::string make_tree(const GithubGit& git, const std::string& base, const std::vector<GitTreeEntry>& change,
                      std::string& reason) {
    std::string body = "{\"base_tree\":\"" + base + "\",\"tree\":[";
    for (std::size_t i = 0; i < change.size(); ++i) {
        const GitTreeEntry& entry = change[i];
        body += (i == 0 ? "{" : ",{") + forge_json_field("path", entry.path) + "," +
                forge_json_field("mode", entry.mode) + "," + forge_json_field("type", entry.type) +
                ",\"sha\":" + (entry.sha.empty() ? std::string("null") : "\"" + entry.sha + "\"") + "}";
    }
    body += "]}";
    return read_github_created_sha(git.client.write(git_url(git, "trees"), kHttpPost, body), reason);
}

std::string make_commit(const GithubGit& git, const std::string& message, const std::string& tree,
                        const std::string& parent, std::string& reason) {
    const std::string body =
        "{" + forge_json_field("message", message) + ",\"tree\":\"" + tree + "\",\"parents\":[\"" + parent + "\"]}";
    return read_github_created_sha(git.client.write(git_url(git, "commits"), kHttpPost, body), reason);
}

enum class Move { moved, not_fast_forward, failed };

Move move_branch(const GithubGit& git, const std::string& commit, BatchCommitResult& result) {
    const TokenAnswer answer = git.client.write(git_url(git, "refs/heads/" + forge_path_piece(git.branch)), kHttpPatch,
                                                "{\"sha\":\"" + commit + "\",\"force\":false}");
    if (answer.complete && answer.status == 200)
        return Move::moved;
    if (answer.complete && answer.status == 422)
        return Move::not_fast_forward;
    result.reason = forge_failure_reason(answer);
    // Only this request moves the branch: without a decisive answer the commit may be the branch's head now.
    result.maybe_stored = (!answer.complete && answer.outcome_unknown) || (answer.complete && answer.status >= 500);
    return Move::failed;
}

} // namespace

std::string read_github_object_name(const TokenAnswer& answer, std::string_view member) {
    ScriptJson json("da");
    return answer.complete && answer.status == 200 && json.parse(answer.text) ? object_name(json, member) : "";
}

std::string read_github_created_sha(const TokenAnswer& answer, std::string& reason) {
    ScriptJson json("da");
    if (answer.complete && answer.status == 201 && json.parse(answer.text))
        if (std::string sha = object_name(json, "sha"); !sha.empty())
            return sha;
    reason = forge_failure_reason(answer);
    return {};
}

bool read_github_tree_answer(const TokenAnswer& answer, std::vector<GitTreeEntry>& entries, std::string& reason) {
    entries.clear();
    ScriptJson json("da");
    if (!(answer.complete && answer.status == 200 && json.parse(answer.text) &&
          json.type_of("tree") == json_type_array)) {
        reason = forge_failure_reason(answer);
        return false;
    }
    if (json.get_text("truncated") == "true") {
        reason = utf8_to_gbk("仓库根目录的文件太多，服务器没有全部列出");
        return false;
    }
    const int count = json.array_length("tree");
    for (int i = 0; i < count; ++i) {
        const std::string at = "tree[" + std::to_string(i) + "].";
        entries.push_back({json.get_text(at + "path"), json.get_text(at + "mode"), json.get_text(at + "type"),
                           text_lower(json.get_text(at + "sha"))});
    }
    return true;
}

GitHead github_read_head(const GithubGit& git) {
    GitHead head;
    const TokenAnswer ref = git.client.get(git_url(git, "ref/heads/" + forge_path_piece(git.branch)));
    if (ref.complete && ref.status == 409) {
        head.state = GitHead::State::empty;
        return head;
    }
    head.commit = read_github_object_name(ref, "object.sha");
    if (head.commit.empty()) {
        head.reason =
            ref.complete && ref.status == 404 ? utf8_to_gbk("仓库中没有分支 ") + git.branch : forge_failure_reason(ref);
        return head;
    }
    const TokenAnswer commit = git.client.get(git_url(git, "commits/" + head.commit));
    head.tree = read_github_object_name(commit, "tree.sha");
    if (head.tree.empty()) {
        head.reason = forge_failure_reason(commit);
        return head;
    }
    head.state = GitHead::State::ok;
    return head;
}

bool github_read_tree(const GithubGit& git, const std::string& tree, std::vector<GitTreeEntry>& entries,
                      std::string& reason) {
    return read_github_tree_answer(git.client.get(git_url(git, "trees/" + tree)), entries, reason);
}

std::string github_make_blob(const GithubGit& git, std::string_view bytes, std::string& reason) {
    const ContentsRequestBody body =
        ContentsRequestBody::around("{\"encoding\":\"base64\",\"content\":\"", bytes, "\"}");
    const std::string sha = read_github_created_sha(git.client.write(git_url(git, "blobs"), kHttpPost, body), reason);
    if (sha.empty() || sha == git_blob_sha1(bytes))
        return sha;
    reason = utf8_to_gbk("服务器保存的内容与图片不同：") + visible_text(sha);
    return {};
}

BatchCommitResult github_commit_change(const GithubGit& git, const std::vector<GitTreeEntry>& change,
                                       const std::string& message) {
    BatchCommitResult result;
    for (int round = 0; round < kCommitRounds; ++round) {
        const GitHead head = github_read_head(git);
        if (head.state != GitHead::State::ok) {
            result.reason = head.state == GitHead::State::empty ? utf8_to_gbk("仓库还没有任何提交") : head.reason;
            return result;
        }
        const std::string tree = make_tree(git, head.tree, change, result.reason);
        const std::string commit = tree.empty() ? "" : make_commit(git, message, tree, head.commit, result.reason);
        if (commit.empty())
            return result;
        switch (move_branch(git, commit, result)) {
        case Move::moved:
            result.ok = true;
            return result;
        case Move::not_fast_forward:
            continue;
        case Move::failed:
            return result;
        }
    }
    result.reason = utf8_to_gbk("分支 ") + git.branch + utf8_to_gbk(" 一直在被其他提交更新，没有提交");
    return result;
}

} // namespace velpic
