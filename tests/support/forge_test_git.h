// The in-memory git repository behind the forge stand-in: blobs, flat trees, commits and branches, so that files
// appear and disappear only through commits, and a branch update can be told a fast-forward or not.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velpic::test {

struct ForgeTreeEntry {
    std::string mode = "100644";
    std::string type = "blob";
    std::string sha;
};
using ForgeTree = std::map<std::string, ForgeTreeEntry>; // by name: the stand-in keeps only a root folder

struct ForgeCommit {
    std::string tree;
    std::vector<std::string> parents;
    std::string message;
};

class ForgeGitRepository {
public:
    bool is_private = false;
    std::string default_branch = "main";
    int writes_in_flight = 0;
    std::size_t commits_made = 0; // branch moves: one per commit that became a head

    std::string put_blob(std::string bytes);
    std::string put_tree(const ForgeTree& tree);
    std::string put_commit(ForgeCommit commit);

    const std::string* blob(const std::string& sha) const;
    const ForgeTree* tree(const std::string& sha) const;
    const ForgeCommit* commit(const std::string& sha) const;
    // The branch's head commit; empty when the branch does not exist.
    std::string head(const std::string& branch) const;
    bool empty() const { return refs_.empty(); }
    // The root tree of the branch's head; nullptr when the branch does not exist.
    const ForgeTree* head_tree(const std::string& branch) const;
    // Whether commit is ancestor or has it among its ancestors.
    bool descends_from(const std::string& commit, const std::string& ancestor) const;
    void move_branch(const std::string& branch, const std::string& commit);

    // One commit on branch (made when missing) that sets each path to a blob of the given bytes, or removes it
    // (nullopt). Gives the new head.
    std::string commit_change(const std::string& branch,
                              const std::map<std::string, std::optional<std::string>>& change,
                              const std::string& message);

private:
    std::map<std::string, std::string> blobs_;
    std::map<std::string, ForgeTree> trees_;
    std::map<std::string, ForgeCommit> commits_;
    std::map<std::string, std::string> refs_;
    std::size_t serial_ = 0; // commits of equal content still get names of their own
};

} // namespace velpic::test
