// Client of the hosting service's "create a file" call (REST API v5, contents endpoint).
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// The browser identity both the upload and the repository clearing send.
inline constexpr std::string_view upload_user_agent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/50.0.2661.87 Safari/537.36";

// service_base() + "api/v5/repos/" + owner + "/" + repo: the repository's API address, nothing encoded.
std::string repository_api_address(const std::string& owner, const std::string& repo);

// repository_api_address + "/contents/" + path.
std::string contents_endpoint(const std::string& owner, const std::string& repo, const std::string& path);

// service_base() + owner + "/" + repo + "/raw/master/": an address is good exactly when it contains this
// (case-sensitive).
std::string raw_address_prefix(const std::string& owner, const std::string& repo);

// The three-line JSON body (CR LF between the entries), still GBK; values are escaped as JSON strings.
std::string contents_request_body(const std::string& access_token, const std::string& content,
                                  const std::string& message);

// A GBK text as the inside of a JSON string: quote, backslash and control bytes escaped, double-byte
// characters copied whole (a trail byte may be 0x5C); a lead byte without a valid trail byte becomes "?".
std::string json_string_escape(std::string_view gbk);

// Commits one file. Returns the download address; or the service's message; or "错误未知：[" + answer + "]"
// (GBK) when the answer holds neither or both. Texts in and out are GBK.
std::string contents_api_upload(const std::string& owner, const std::string& repo, const std::string& path,
                                const std::string& access_token, const std::string& content,
                                const std::string& message);

} // namespace velpic
