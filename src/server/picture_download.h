// A picture named by its http(s) address, fetched for an upload request with a size limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velpic {

struct PictureDownload {
    bool ok = false;
    std::string bytes;
    std::string error; // why not (UTF-8), when !ok
};

// Whether text is an http:// or https:// address (scheme letters in any case).
bool is_web_address(std::string_view text);

// GET with at most 5 redirects (http and https only); a 2xx answer with a body is the picture. Bodies over limit
// are cut off as soon as they are seen to be (by their declared length or while they arrive).
PictureDownload download_picture(const std::string& address, std::size_t limit);

} // namespace velpic
