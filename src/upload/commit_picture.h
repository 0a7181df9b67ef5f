// Committing a picture so that a lost answer never locks it out: the name is the digest of the bytes, so a file
// of that name holding the same bytes is this picture, committed by an attempt whose answer never arrived.
#pragma once

#include "upload/contents_api.h"

#include <string>

namespace velpic {

// contents_api_create_file with data. When the service may hold the file already (the name was
// refused as taken, or no decisive answer came back), it asks for the file under path: the same bytes (by git blob
// SHA-1) give that file's address as the result, other bytes a conflict, and anything else the first failure.
ContentsApiResult commit_picture(const std::string& owner, const std::string& repo, const std::string& path,
                                 const std::string& access_token, const std::string& data, const std::string& message);

} // namespace velpic
