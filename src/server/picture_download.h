// A picture named by its http(s) address, fetched for an upload request under a size limit and deadlines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velpic {

struct PictureDownload {
    bool ok = false;
    std::string bytes;
    std::string error; // why not (UTF-8), when !ok
};

struct DownloadBounds {
    std::size_t limit = 64 * 1024 * 1024;
    std::chrono::milliseconds deadline{60000};   // the whole download
    std::chrono::milliseconds idle_limit{15000}; // no byte for this long ends it
    const std::atomic<bool>* cancel = nullptr;   // set: the download ends at once
};

// Whether text is an http:// or https:// address (scheme letters in any case).
bool is_web_address(std::string_view text);

// GET with at most 5 redirects (http and https only); a 2xx answer with a body is the picture. Bodies over the
// limit are cut off as soon as they are seen to be (by their declared length or while they arrive).
PictureDownload download_picture(const std::string& address, const DownloadBounds& bounds);

} // namespace velpic
