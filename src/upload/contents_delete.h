// Client of the hosting service's "delete a file" call (REST API v5, contents endpoint, DELETE).
#pragma once

#include "upload/repository_profile.h"

#include <string>

namespace velpic {

struct TokenAnswer;

struct ContentsDeleteResult {
    enum class Kind {
        deleted, // the service confirmed the delete
        absent,  // the service says there is no such file (404): nothing left to delete
        failed,  // refused or no decisive answer: reason says why; the file may still be there
    };
    Kind kind = Kind::failed;
    std::string reason; // GBK
};

// DELETE contents_endpoint(owner, repo, path) + "?access_token=…&sha=…&message=…", every value %-encoded and sent as
// UTF-8, under the rules of every request that carries the token (verified certificate, no redirect followed,
// answer at most 1 MB). sha is the git blob SHA-1 the file must still have; owner and repository are checked before
// anything is sent.
ContentsDeleteResult contents_api_delete_file(const std::string& owner, const std::string& repo,
                                              const std::string& path, const std::string& access_token,
                                              const std::string& sha, const std::string& message);
// The same in a gitee profile's repository, on its branch when it names one.
ContentsDeleteResult contents_api_delete_file(const RepositoryProfile& gitee, const std::string& path,
                                              const std::string& sha, const std::string& message);

// What the service's answer to that DELETE says: 200 and 204 deleted, 404 absent, anything else failed with the
// service's message.
ContentsDeleteResult read_delete_answer(const TokenAnswer& answer);

} // namespace velpic
