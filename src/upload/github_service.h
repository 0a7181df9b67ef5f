// GitHub behind the hosting service interface: its REST API (api.github.com, or the profile's service address),
// one file per request through the contents API, several in one commit and the clear through the Git Data API.
#pragma once

#include "upload/forge_service.h"

namespace velpic {

class GithubService final : public ForgeService {
public:
    explicit GithubService(const RepositoryProfile& profile);

    ClearOutcome clear() override;
    std::size_t batch_limit() const override;
    BatchCommitResult commit_files(const std::vector<BatchFile>& files, const std::string& message) override;
    std::string repository_page() const override;

protected:
    // VELPIC_RAW_BASE (a test service) replaces "https://raw.githubusercontent.com/".
    std::string raw_address(const std::string& path) const override;
};

} // namespace velpic
