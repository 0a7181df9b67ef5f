// GitHub behind the hosting service interface.
#pragma once

#include "upload/hosting_service.h"

namespace velpic {

class GithubService final : public HostingService {
public:
    using HostingService::HostingService;

    ContentsApiResult create_file(const std::string& path, std::string_view bytes,
                                  const std::string& message) override;
    StoredContents lookup(const std::string& path) override;
    ContentsDeleteResult delete_file(const std::string& path, const std::string& sha,
                                     const std::string& message) override;
    ClearOutcome clear() override;
    std::size_t batch_limit() const override;
    BatchCommitResult commit_files(const std::vector<BatchFile>& files, const std::string& message) override;
    std::string repository_page() const override;

protected:
    std::string raw_address(const std::string& path) const override;
};

} // namespace velpic
