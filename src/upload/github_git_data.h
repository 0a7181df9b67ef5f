// GitHub's Git Data API: several files in one commit, and every file of the root removed in one commit, by
// building a tree on the branch's head, a commit of it, and moving the branch there. The caller holds the
// repository's write lock throughout.
#pragma once

#include "upload/forge_client.h"
#include "upload/hosting_service.h"

#include <string>
#include <vector>

namespace velpic {

struct GithubGit {
    const ForgeClient& client;
    std::string repository_api; // no final "/"
    std::string branch;         // GBK
};

struct GitTreeEntry {
    std::string path; // GBK
    std::string mode;
    std::string type; // "blob", "tree", "commit"
    std::string sha;  // empty in a change: the entry is removed
};

struct GitHead {
    enum class State { ok, empty, failed };
    State state = State::failed;
    std::string commit;
    std::string tree;
    std::string reason; // GBK, when failed
};

// The readers of the answers, each on its own so that what the service sends can be tried without it: the object
// name (40 lower-case hex digits) at member of a 200 answer, or empty; the "sha" of a 201 answer that created an
// object, or empty with reason set; the entries of a tree, or false with reason.
std::string read_github_object_name(const TokenAnswer& answer, std::string_view member);
std::string read_github_created_sha(const TokenAnswer& answer, std::string& reason);
bool read_github_tree_answer(const TokenAnswer& answer, std::vector<GitTreeEntry>& entries, std::string& reason);

// The branch's head commit and its tree; a repository without any commit (409) is empty.
GitHead github_read_head(const GithubGit& git);
// The entries of a tree (not recursive); false with reason when it could not be read whole.
bool github_read_tree(const GithubGit& git, const std::string& tree, std::vector<GitTreeEntry>& entries,
                      std::string& reason);
// Stores bytes as a blob and gives its SHA-1: only when the service names it by git_blob_sha1(bytes), else empty
// with reason set.
std::string github_make_blob(const GithubGit& git, std::string_view bytes, std::string& reason);
// One commit on the branch that applies change to its tree. When the branch moved meanwhile (the update is not a
// fast-forward) the head is read again and the tree and commit made anew, a bounded number of times.
BatchCommitResult github_commit_change(const GithubGit& git, const std::vector<GitTreeEntry>& change,
                                       const std::string& message);

} // namespace velpic
