// Asking the hosting service what its repository holds under a path (REST API v5, contents endpoint, GET).
#pragma once

#include "upload/repository_profile.h"

#include <string>

namespace velpic {

struct StoredContents {
    enum class Kind {
        absent,  // nothing under the path
        file,    // a file: sha and download_url are set
        other,   // something that is not a file (a directory)
        unknown, // no usable answer: reason says why
    };
    Kind kind = Kind::unknown;
    std::string sha;          // git blob SHA-1, lower-case hex
    std::string download_url; // GBK, as the service gave it; the caller decides whether it may be used
    std::string reason;       // GBK
};

// GET repository_api_address + "/contents/" + path + "?access_token=" + the token, %-encoded. It follows the rules
// of every request that carries the token (verified certificate, no redirect followed, answer at most 1 MB), and
// owner and repository are checked before anything is sent. A missing path is answered with 404 or with an empty
// JSON array, and both mean absent.
StoredContents contents_api_lookup(const std::string& owner, const std::string& repo, const std::string& path,
                                   const std::string& access_token);
// The same in a gitee profile's repository, on its branch when it names one.
StoredContents contents_api_lookup(const RepositoryProfile& gitee, const std::string& path);

struct TokenAnswer;
// What the service's answer to that GET says about the path.
StoredContents read_contents_answer(const TokenAnswer& answer);

// A query value as the URL standard's form encoding would send it: everything but unreserved bytes as %XX.
std::string query_encode(const std::string& value);

} // namespace velpic
