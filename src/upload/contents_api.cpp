#include "upload/contents_api.h"

#include "http/header_list.h"
#include "http/http_method.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "runtime/percent_encoding.h"
#include "runtime/service_base.h"
#include "script/script_json.h"
#include "upload/contents_request_body.h"
#include "upload/repository_names.h"
#include "upload/token_request.h"

namespace velpic {

std::string repository_api_address(const std::string& owner, const std::string& repo) {
    return service_base() + "api/v5/repos/" + owner + "/" + repo;
}

std::string contents_endpoint(const std::string& owner, const std::string& repo, const std::string& path) {
    // The path comes from a file's name: a "?" or "#" in it would start a query or a fragment of the request, and a
    // "%" would be read as an escape.
    return repository_api_address(owner, repo) + "/contents/" + percent_encode_where(path, [](unsigned char c) {
               return c <= 0x20 || c == 0x7F || c == '?' || c == '#' || c == '%';
           });
}

std::string raw_address_prefix(const std::string& owner, const std::string& repo) {
    return service_base() + owner + "/" + repo + "/raw/master/";
}

bool is_committed_file_address(const std::string& address, const std::string& owner, const std::string& repo,
                               const std::string& path) {
    if (path.empty() || path == "." || path == ".." || path.find_first_of("/\\") != std::string::npos)
        return false;
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7F)
            return false;
    // Whole-text equality: a prefix test would let ".." segments or another name after the prefix through.
    return address == raw_address_prefix(owner, repo) + path;
}

std::string repository_name_problem(const std::string& owner, const std::string& repo) {
    if (is_valid_repository_name(owner) && is_valid_repository_name(repo))
        return {};
    const std::string& bad = is_valid_repository_name(owner) ? repo : owner;
    return utf8_to_gbk("仓库所有者或仓库名无效（只能由字母、数字、“-”、“_”和“.”组成）：") + visible_text(bad);
}

std::string unknown_answer_reason(const std::string& answer) {
    static const std::string head = utf8_to_gbk("错误未知：[");
    // A message box cannot show a whole page usefully; the start tells what kind of answer it was.
    constexpr long kShown = 2000;
    if (answer.size() <= static_cast<std::size_t>(kShown))
        return head + answer + "]";
    return head + text_left(answer, kShown) + "...]";
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
        result.ok = is_committed_file_address(address, owner, repo, path);
        if (result.ok)
            result.address = address;
        else
            result.reason = visible_text(address); // another branch, owner, host or file: not the file committed
        return result;
    }
    if (parsed && address.empty() && !reason.empty()) {
        result.reason = reason;
        result.maybe_stored = refused_as_taken(answer.status, reason) || answer.status >= 500;
        return result;
    }
    result.reason = unknown_answer_reason(answer.text);
    result.maybe_stored = (answer.status >= 200 && answer.status < 300) || answer.status >= 500;
    return result;
}

ContentsApiResult contents_api_create_file(const std::string& owner, const std::string& repo, const std::string& path,
                                           const std::string& access_token, std::string_view file_bytes,
                                           const std::string& message) {
    ContentsApiResult refused;
    refused.reason = repository_name_problem(owner, repo);
    if (!refused.reason.empty())
        return refused;
    const ContentsRequestBody body(access_token, file_bytes, message);
    const TokenAnswer answer =
        send_token_request(contents_endpoint(owner, repo, path), kHttpPost, body, create_headers());
    return read_create_answer(answer, owner, repo, path);
}

} // namespace velpic
