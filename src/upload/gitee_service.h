// Gitee behind the hosting service interface: its REST API v5 (contents endpoint, the token in the body or the
// query) and its repository clearing call.
#pragma once

#include "upload/hosting_service.h"

namespace velpic {

class GiteeService final : public HostingService {
public:
    using HostingService::HostingService;

    ContentsApiResult create_file(const std::string& path, std::string_view bytes, const std::string& message) override;
    StoredContents lookup(const std::string& path) override;
    // The address the service reports for the file must be the raw address of path: another branch, host or
    // owner's spelling means the address shown would not lead to it.
    std::string stored_address_problem(const StoredContents& stored, const std::string& path) const override;
    ContentsDeleteResult delete_file(const std::string& path, const std::string& sha,
                                     const std::string& message) override;
    ClearOutcome clear() override;
    std::string repository_page() const override;

protected:
    std::string raw_address(const std::string& path) const override;
};

} // namespace velpic
