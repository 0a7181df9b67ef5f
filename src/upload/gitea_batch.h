// Gitea's (Forgejo's) calls on several files at once: one commit that creates and deletes several files (POST
// …/contents, Gitea 1.20 and later), and the listing of the repository's root folder.
#pragma once

#include "upload/forge_client.h"
#include "upload/forge_json_body.h"
#include "upload/hosting_service.h"

#include <string>
#include <vector>

namespace velpic {

// An entry of the repository's root folder.
struct GiteaRootEntry {
    std::string path; // GBK
    std::string sha;
    bool file = true; // false: a folder or anything else a file delete cannot remove
};

// {"branch":…,"message":…,"files":[{"operation":"create","path":…,"content":<Base64>} or {"operation":"delete",
// "path":…,"sha":…},…]}; the pictures' bytes are read while it is sent and must stay alive until then.
ForgeJsonBody gitea_batch_body(const std::vector<BatchFile>& files, const std::string& message,
                               const std::string& branch);

// Whether the forge does not know the call (an older Gitea answers 404 or 405).
bool gitea_batch_unsupported(const TokenAnswer& answer);
// Ok only when the answer shows every created file at its path holding its bytes.
BatchCommitResult read_gitea_batch_answer(const TokenAnswer& answer, const std::vector<BatchFile>& files);

// The entries of a listing of the root folder, as gitea_list_root reads them from the forge's answer.
bool read_gitea_root_answer(const TokenAnswer& answer, std::vector<GiteaRootEntry>& entries, std::string& reason,
                            bool& missing);

// The entries of the root folder on branch; false with reason when they could not be read. missing: the forge
// answered 404 (a repository without any commit has no root to list).
bool gitea_list_root(const ForgeClient& client, const std::string& repository_api, const std::string& branch,
                     std::vector<GiteaRootEntry>& entries, std::string& reason, bool& missing);

} // namespace velpic
