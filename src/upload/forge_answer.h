// Reading a git forge's answers to the contents API (GitHub, Gitea, Forgejo): what a create came to, and why a
// request failed, for the user.
#pragma once

#include "upload/contents_api.h"
#include "upload/token_request.h"

#include <string>

namespace velpic {

// Why a request did not do what was asked (GBK): the transport's reason, or the status with the service's
// message, or the start of an answer that could not be read.
std::string forge_failure_reason(const TokenAnswer& answer);

// A create of path is ok only when the answer shows that very path holding the blob blob_sha; the address is the
// caller's to fill in (the answer's download_url is never used: a private repository's carries an expiring token).
// A name refused as taken (422), a server error or no decisive answer leave the file possibly stored.
ContentsApiResult read_forge_create_answer(const TokenAnswer& answer, const std::string& path,
                                           const std::string& blob_sha);

} // namespace velpic
