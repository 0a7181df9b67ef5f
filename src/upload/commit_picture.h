// Committing a picture so that a lost answer never locks it out: the name is the digest of the bytes, so a file
// of that name holding the same bytes is this picture, committed by an attempt whose answer never arrived.
#pragma once

#include "upload/hosting_service.h"

#include <string>

namespace velpic {

// service.create_file with data. When the service may hold the file already (the name was refused as taken, or no
// decisive answer came back), it asks for the file under path: the same bytes (by git blob SHA-1) give that file's
// address as the result, other bytes a conflict, and anything else the first failure.
ContentsApiResult commit_picture(HostingService& service, const std::string& path, std::string_view data,
                                 const std::string& message);

} // namespace velpic
