// What a git forge says about a repository before anything goes into it: whether its files are public, and which
// branch takes them when the profile names none. Asked once per process per repository.
#pragma once

#include "upload/forge_client.h"

#include <string>

namespace velpic {

struct ForgeRepositoryInfo {
    bool known = false;
    bool is_private = false;
    bool empty = false;         // no commit yet (as the service said when it was asked)
    std::string default_branch; // GBK
    std::string reason;         // GBK, when not known
};

// What the forge's answer about a repository tells; known only when it holds both "private" and a default branch.
ForgeRepositoryInfo read_forge_repository_answer(const TokenAnswer& answer);

// GET repository_api (the repository's API address, which also keys the process's memory of the answer). Only a
// readable answer is remembered: a failure is asked again next time.
ForgeRepositoryInfo forge_repository_info(const ForgeClient& client, const std::string& repository_api);

// "仓库 owner/repo 是私有仓库……" (GBK): why nothing is uploaded into a private repository.
std::string private_repository_reason(const std::string& owner, const std::string& repo);

} // namespace velpic
