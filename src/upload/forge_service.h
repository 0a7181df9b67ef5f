// What GitHub and Gitea (Forgejo, Codeberg) share behind the hosting service interface: one file created, looked up
// or deleted through the contents API on the profile's branch (else the repository's default branch), the token in
// the Authorization header, nothing uploaded into a private repository, and writes to one repository one at a time.
#pragma once

#include "upload/forge_client.h"
#include "upload/hosting_service.h"

#include <mutex>
#include <string>
#include <vector>

namespace velpic {

// A GBK text as one piece of a request address: its UTF-8 bytes, all but letters, digits, "-", "_", ".", "~" and
// "/" %-encoded.
std::string forge_path_piece(const std::string& gbk);
// "\"name\":\"value\"" in UTF-8, value a GBK text escaped as a JSON string.
std::string forge_json_field(std::string_view name, const std::string& gbk_value);

class ForgeService : public HostingService {
public:
    ContentsApiResult create_file(const std::string& path, std::string_view bytes, const std::string& message) override;
    StoredContents lookup(const std::string& path) override;
    ContentsDeleteResult delete_file(const std::string& path, const std::string& sha,
                                     const std::string& message) override;
    std::string branch_in_use() const override;

protected:
    struct Dialect {
        std::string repository_api; // the repository's API address, no final "/"
        std::string authorization;  // the Authorization header's value
        std::string accept;
        int create_method = 0;
        ForgeClient::WriteLimits write_limits;
    };
    ForgeService(const RepositoryProfile& profile, Dialect dialect);

    const std::string& repository_api() const { return dialect_.repository_api; }
    const ForgeClient& client() const { return client_; }
    std::string contents_url(const std::string& path) const;
    // The branch every request names; empty, with reason set, when the profile is unusable or the service could
    // not be asked for its default branch.
    std::string branch(std::string& reason) const;
    // Why nothing may be uploaded (GBK): the profile, the repository unknown or private. Empty when uploads may go.
    std::string upload_problem() const;
    // The branch a commit of files goes to; empty, with reason set, when there are more than limit files, when they
    // create files where nothing may be uploaded, or when the branch is not known.
    std::string batch_branch(const std::vector<BatchFile>& files, std::size_t limit, std::string& reason) const;
    std::unique_lock<std::mutex> hold_writes() const { return forge_write_lock(repository_api()); }

    // The same calls for a caller that already holds the write lock.
    ContentsApiResult create_held(const std::string& path, std::string_view bytes, const std::string& message,
                                  const std::string& branch);
    ContentsDeleteResult delete_held(const std::string& path, const std::string& sha, const std::string& message,
                                     const std::string& branch);

private:
    Dialect dialect_;
    ForgeClient client_;
};

// The commit message of a clear (GBK).
std::string forge_clear_message();

} // namespace velpic
