#include "support/forge_test_git.h"

#include "support/test_service.h"

#include <set>

namespace velpic::test {

std::string ForgeGitRepository::put_blob(std::string bytes) {
    std::string sha = git_blob_sha1(bytes);
    blobs_.emplace(sha, std::move(bytes));
    return sha;
}

std::string ForgeGitRepository::put_tree(const ForgeTree& tree) {
    std::string text = "tree";
    for (const auto& [name, entry] : tree)
        text += "\n" + entry.mode + " " + entry.type + " " + entry.sha + " " + name;
    std::string sha = git_blob_sha1(text); // any stable 40-digit name does: nothing reads the tree format
    trees_.emplace(sha, tree);
    return sha;
}

std::string ForgeGitRepository::put_commit(ForgeCommit commit) {
    std::string text = "commit " + std::to_string(++serial_) + " " + commit.tree + " " + commit.message;
    for (const std::string& parent : commit.parents)
        text += " " + parent;
    std::string sha = git_blob_sha1(text);
    commits_.emplace(sha, std::move(commit));
    return sha;
}

const std::string* ForgeGitRepository::blob(const std::string& sha) const {
    auto it = blobs_.find(sha);
    return it == blobs_.end() ? nullptr : &it->second;
}

const ForgeTree* ForgeGitRepository::tree(const std::string& sha) const {
    auto it = trees_.find(sha);
    return it == trees_.end() ? nullptr : &it->second;
}

const ForgeCommit* ForgeGitRepository::commit(const std::string& sha) const {
    auto it = commits_.find(sha);
    return it == commits_.end() ? nullptr : &it->second;
}

std::string ForgeGitRepository::head(const std::string& branch) const {
    auto it = refs_.find(branch);
    return it == refs_.end() ? std::string() : it->second;
}

const ForgeTree* ForgeGitRepository::head_tree(const std::string& branch) const {
    const ForgeCommit* at = commit(head(branch));
    return at == nullptr ? nullptr : tree(at->tree);
}

bool ForgeGitRepository::descends_from(const std::string& start, const std::string& ancestor) const {
    std::vector<std::string> open{start};
    std::set<std::string> seen;
    while (!open.empty()) {
        std::string sha = open.back();
        open.pop_back();
        if (sha == ancestor)
            return true;
        const ForgeCommit* at = commit(sha);
        if (at == nullptr || !seen.insert(sha).second)
            continue;
        open.insert(open.end(), at->parents.begin(), at->parents.end());
    }
    return false;
}

void ForgeGitRepository::move_branch(const std::string& branch, const std::string& commit) {
    refs_[branch] = commit;
    ++commits_made;
}

std::string ForgeGitRepository::commit_change(const std::string& branch,
                                              const std::map<std::string, std::optional<std::string>>& change,
                                              const std::string& message) {
    const std::string parent = head(branch);
    ForgeTree files = parent.empty() ? ForgeTree() : *head_tree(branch);
    for (const auto& [path, bytes] : change) {
        if (bytes)
            files[path] = ForgeTreeEntry{"100644", "blob", put_blob(*bytes)};
        else
            files.erase(path);
    }
    ForgeCommit made{put_tree(files), {}, message};
    if (!parent.empty())
        made.parents.push_back(parent);
    const std::string sha = put_commit(std::move(made));
    move_branch(branch, sha);
    return sha;
}

} // namespace velpic::test
