// Gitea, Forgejo and Codeberg behind the hosting service interface: the API under the profile's site address
// (required), one file per request through the contents API, several in one commit through the multi-file call,
// falling back to one file per request on a forge older than that call.
#pragma once

#include "upload/forge_service.h"

namespace velpic {

class GiteaService final : public ForgeService {
public:
    explicit GiteaService(const RepositoryProfile& profile);

    ClearOutcome clear() override;
    std::size_t batch_limit() const override;
    BatchCommitResult commit_files(const std::vector<BatchFile>& files, const std::string& message) override;
    std::string repository_page() const override;

protected:
    std::string raw_address(const std::string& path) const override;

private:
    BatchCommitResult commit_held(const std::vector<BatchFile>& files, const std::string& message,
                                  const std::string& branch);
    // Files of a batch one request each (lock held), for a forge without the multi-file call: a create that may
    // have landed counts when the file holds its bytes, a delete of a file already gone counts.
    BatchCommitResult commit_each(const std::vector<BatchFile>& files, const std::string& message,
                                  const std::string& branch);
};

} // namespace velpic
