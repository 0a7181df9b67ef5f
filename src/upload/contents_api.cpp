#include "upload/contents_api.h"

#include "http/header_list.h"
#include "http/http_method.h"
#include "http/transport_failure.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "runtime/percent_encoding.h"
#include "runtime/service_base.h"
#include "script/script_json.h"
#include "upload/contents_request_body.h"
#include "upload/repository_names.h"
#include "upload/token_request.h"

#include <algorithm>

namespace velpic {

RepositoryProfile gitee_profile(const std::string& owner, const std::string& repo, const std::string& access_token) {
    RepositoryProfile profile;
    profile.owner = owner;
    profile.repo = repo;
    profile.access_token = access_token;
    return profile;
}

std::string repository_api_address(const RepositoryProfile& gitee) {
    return effective_service_url(gitee) + "api/v5/repos/" + gitee.owner + "/" + gitee.repo;
}

std::string repository_api_address(const std::string& owner, const std::string& repo) {
    return repository_api_address(gitee_profile(owner, repo));
}

std::string encoded_file_path(const std::string& path) {
    // The path comes from a file's name: a "?" or "#" in it would start a query or a fragment of the request, and a
    // "%" would be read as an escape.
    return percent_encode_where(
        path, [](unsigned char c) { return c <= 0x20 || c == 0x7F || c == '?' || c == '#' || c == '%'; });
}

std::string contents_endpoint(const RepositoryProfile& gitee, const std::string& path) {
    return repository_api_address(gitee) + "/contents/" + encoded_file_path(path);
}

std::string contents_endpoint(const std::string& owner, const std::string& repo, const std::string& path) {
    return contents_endpoint(gitee_profile(owner, repo), path);
}

std::string raw_address_prefix(const RepositoryProfile& gitee) {
    return effective_service_url(gitee) + gitee.owner + "/" + gitee.repo + "/raw/" +
           (gitee.branch.empty() ? std::string("master") : gitee.branch) + "/";
}

std::string raw_address_prefix(const std::string& owner, const std::string& repo) {
    return raw_address_prefix(gitee_profile(owner, repo));
}

bool is_plain_file_name(const std::string& path) {
    if (path.empty() || path == "." || path == ".." || path.find_first_of("/\\") != std::string::npos)
        return false;
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

bool is_committed_file_address(const std::string& address, const std::string& owner, const std::string& repo,
                               const std::string& path) {
    // Whole-text equality: a prefix test would let ".." segments or another name after the prefix through.
    return is_plain_file_name(path) && address == raw_address_prefix(owner, repo) + path;
}

std::string repository_name_problem(const std::string& owner, const std::string& repo) {
    if (is_valid_repository_name(owner) && is_valid_repository_name(repo))
        return {};
    const std::string& bad = is_valid_repository_name(owner) ? repo : owner;
    return utf8_to_gbk("仓库所有者或仓库名无效（只能由字母、数字、“-”、“_”和“.”组成）：") + visible_text(bad);
}

std::string unknown_answer_reason(const std::string& answer) {
    static const std::string head = utf8_to_gbk("错误未知：[");
    // A message box cannot show a whole page usefully; the start (an HTML page's title or text) tells what kind
    // of answer it was.
    return head + utf8_to_gbk(shortened_original(to_utf8(answer), 300)) + "]";
}

std::string refusal_reason(int status, const std::string& message, const std::string& answer) {
    if (message.empty())
        return status >= 400 ? utf8_to_gbk(http_failure_reason(status, to_utf8(answer)))
                             : unknown_answer_reason(answer);
    // The service's Chinese messages say it already.
    const bool english = std::all_of(message.begin(), message.end(), [](char c) { return (c & 0x80) == 0; });
    return english && status >= 400 ? utf8_to_gbk(http_failure_reason(status, message)) : message;
}

std::string json_string_escape(std::string_view gbk) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(gbk.size());
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        const auto byte = static_cast<unsigned char>(gbk[i]);
        const auto next = i + 1 < gbk.size() ? static_cast<unsigned char>(gbk[i + 1]) : 0;
        if (is_gbk_lead_byte(byte) && next >= 0x40 && next != 0x7F && next != 0xFF) {
            out += gbk.substr(i, 2);
            ++i;
        } else if (is_gbk_lead_byte(byte)) {
            // A lead byte without its trail byte would pair with whatever follows, even the backslash of an
            // escaped quote, and free that quote; it becomes "?" as the UTF-8 conversion would make it anyway.
            out += '?';
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

namespace {

// A refusal saying that the path is taken: the file may be the very picture, committed by an attempt whose answer
// was lost.
bool refused_as_taken(int status, const std::string& message) {
    static const std::string taken = utf8_to_gbk("已存在");
    return (status == 400 || status == 409 || status == 422) &&
           (text_find(message, taken) > 0 || text_find(message, "exist", 1, true) > 0);
}

std::string create_headers() {
    HeaderList headers;
    headers.add("Content-Type", "application/json;charset=UTF-8");
    headers.add("User-Agent", upload_user_agent);
    return headers.to_header_text();
}

} // namespace

ContentsApiResult read_create_answer(const TokenAnswer& answer, const std::string& owner, const std::string& repo,
                                     const std::string& path) {
    return read_create_answer(answer, gitee_profile(owner, repo), path);
}

ContentsApiResult read_create_answer(const TokenAnswer& answer, const RepositoryProfile& gitee,
                                     const std::string& path) {
    ContentsApiResult result;
    if (!answer.complete) {
        result.reason = answer.reason;
        result.maybe_stored = answer.outcome_unknown;
        return result;
    }

    ScriptJson json("da");
    const bool parsed = json.parse(answer.text);
    const std::string address =
        json.type_of("content['download_url']") == json_type_string ? json.get_text("content['download_url']") : "";
    const std::string reason = json.get_text("message");
    if (parsed && !address.empty() && reason.empty()) {
        result.ok = is_plain_file_name(path) && address == raw_address_prefix(gitee) + path;
        if (result.ok)
            result.address = file_address_prefix(gitee, raw_address_prefix(gitee)) + path;
        else
            result.reason = visible_text(address); // another branch, owner, host or file: not the file committed
        return result;
    }
    if (parsed && address.empty() && !reason.empty()) {
        result.reason = refusal_reason(answer.status, reason, answer.text);
        result.maybe_stored = refused_as_taken(answer.status, reason) || answer.status >= 500;
        return result;
    }
    result.reason = refusal_reason(answer.status, "", answer.text);
    result.maybe_stored = (answer.status >= 200 && answer.status < 300) || answer.status >= 500;
    return result;
}

ContentsApiResult contents_api_create_file(const RepositoryProfile& gitee, const std::string& path,
                                           std::string_view file_bytes, const std::string& message) {
    ContentsApiResult refused;
    refused.reason = repository_name_problem(gitee.owner, gitee.repo);
    if (!refused.reason.empty())
        return refused;
    const bool other_branch = !gitee.branch.empty() && gitee.branch != "master";
    const ContentsRequestBody body =
        other_branch
            ? ContentsRequestBody::around(
                  "{\"access_token\":\"" + to_utf8(json_string_escape(gitee.access_token)) + "\",\r\n\"branch\":\"" +
                      to_utf8(json_string_escape(gitee.branch)) + "\",\r\n\"content\":\"",
                  file_bytes, "\",\r\n\"message\":\"" + to_utf8(json_string_escape(message)) + "\"}")
            : ContentsRequestBody(gitee.access_token, file_bytes, message);
    const TokenAnswer answer = send_token_request(contents_endpoint(gitee, path), kHttpPost, body, create_headers());
    return read_create_answer(answer, gitee, path);
}

ContentsApiResult contents_api_create_file(const std::string& owner, const std::string& repo, const std::string& path,
                                           const std::string& access_token, std::string_view file_bytes,
                                           const std::string& message) {
    return contents_api_create_file(gitee_profile(owner, repo, access_token), path, file_bytes, message);
}

} // namespace velpic
