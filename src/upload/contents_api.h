// Client of the hosting service's "create a file" call (REST API v5, contents endpoint).
#pragma once

#include "upload/repository_profile.h"

#include <string>
#include <string_view>

namespace velpic {

// A gitee profile of owner/repo with token and every other value at its default.
RepositoryProfile gitee_profile(const std::string& owner, const std::string& repo,
                                const std::string& access_token = {});

// The browser identity both the upload and the repository clearing send.
inline constexpr std::string_view upload_user_agent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/50.0.2661.87 Safari/537.36";

// service_base() + "api/v5/repos/" + owner + "/" + repo: the repository's API address, nothing encoded.
std::string repository_api_address(const std::string& owner, const std::string& repo);
// The same under the profile's service address.
std::string repository_api_address(const RepositoryProfile& gitee);

// repository_api_address + "/contents/" + path, where control bytes, blanks, "?", "#" and "%" of path are
// %-encoded so that the path stays one path.
std::string contents_endpoint(const std::string& owner, const std::string& repo, const std::string& path);
std::string contents_endpoint(const RepositoryProfile& gitee, const std::string& path);
// A file's path in a request address: control bytes, blanks, "?", "#" and "%" %-encoded.
std::string encoded_file_path(const std::string& path);
// A path one plain file name: not empty, no "/" or "\\", no control byte, not "." or "..".
bool is_plain_file_name(const std::string& path);

// service_base() + owner + "/" + repo + "/raw/master/".
std::string raw_address_prefix(const std::string& owner, const std::string& repo);
// The profile's service address + owner + "/" + repo + "/raw/" + branch ("master" when none) + "/".
std::string raw_address_prefix(const RepositoryProfile& gitee);

// The only kind of address that is shown, copied or recorded for a file committed at path: exactly the
// repository's raw-file prefix followed by path, byte for byte (letter case significant). path must be one plain
// file name: not empty, no "/" or "\\", no control byte, not "." or "..". So no other file, folder or repository can
// be named through ".." segments, encoded or not, and the address is one line on the command line and one value in
// the record file.
bool is_committed_file_address(const std::string& address, const std::string& owner, const std::string& repo,
                               const std::string& path);

// Why owner and repository cannot go into an API path (GBK), or empty when both can: a name such as
// "alice/pics/contents/evil?" would otherwise reach another path of the API.
std::string repository_name_problem(const std::string& owner, const std::string& repo);

// A GBK text as the inside of a JSON string: quote, backslash and control bytes escaped, double-byte
// characters copied whole (a trail byte may be 0x5C); a lead byte without a valid trail byte becomes "?".
std::string json_string_escape(std::string_view gbk);

struct ContentsApiResult {
    bool ok = false;
    std::string address; // GBK: the committed file's address (is_committed_file_address holds), when ok
    std::string reason;  // GBK: why not, for the user, when not ok
    // Not ok, yet the file may be in the repository: the name was refused as taken, or the request went out and
    // no decisive answer came back.
    bool maybe_stored = false;
    // Ok because the service already held a file of the same bytes under the path (commit_picture only).
    bool already_stored = false;
};

// Commits one file, its Base64 text as the content, in the three-line JSON body (CR LF between the entries; token
// and message escaped as JSON strings and sent as UTF-8). The Base64 text is written while the request is sent and
// never held whole. It is ok only for the download_url of a whole answer read as JSON, holding no message, that
// is_committed_file_address accepts for path. Otherwise the reason is the service's message, the address that was
// refused, the transport's reason, or "错误未知：[" + answer + "]". Texts in and out are GBK.
ContentsApiResult contents_api_create_file(const std::string& owner, const std::string& repo, const std::string& path,
                                           const std::string& access_token, std::string_view file_bytes,
                                           const std::string& message);
// The same into a gitee profile's repository; a branch other than "master" is named in the body, and the address
// given back is the profile's file address (its address prefix, when set).
ContentsApiResult contents_api_create_file(const RepositoryProfile& gitee, const std::string& path,
                                           std::string_view file_bytes, const std::string& message);

struct TokenAnswer;
// What the service's answer to a create says, as contents_api_create_file reads it.
ContentsApiResult read_create_answer(const TokenAnswer& answer, const std::string& owner, const std::string& repo,
                                     const std::string& path);
ContentsApiResult read_create_answer(const TokenAnswer& answer, const RepositoryProfile& gitee,
                                     const std::string& path);

// The text a failure shows for an answer that could not be read: "错误未知：[" + answer + "]" (GBK), the answer
// shortened when it is long.
std::string unknown_answer_reason(const std::string& answer);
// Why the service refused (GBK): its Chinese message as it is; its English message, or an answer without one, after
// a Chinese reason for the status. message and answer are GBK.
std::string refusal_reason(int status, const std::string& message, const std::string& answer);

} // namespace velpic
