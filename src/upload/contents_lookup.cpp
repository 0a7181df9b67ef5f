#include "upload/contents_lookup.h"

#include "http/header_list.h"
#include "http/http_method.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "runtime/percent_encoding.h"
#include "script/script_json.h"
#include "upload/contents_api.h"
#include "upload/token_request.h"

#include <algorithm>
#include <cctype>

namespace velpic {

namespace {

bool is_sha1_hex(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

} // namespace

std::string query_encode(const std::string& value) {
    return percent_encode_where(
        value, [](unsigned char c) { return !(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~'); });
}

StoredContents contents_api_lookup(const std::string& owner, const std::string& repo, const std::string& path,
                                   const std::string& access_token) {
    return contents_api_lookup(gitee_profile(owner, repo, access_token), path);
}

StoredContents contents_api_lookup(const RepositoryProfile& gitee, const std::string& path) {
    StoredContents stored;
    stored.reason = repository_name_problem(gitee.owner, gitee.repo);
    if (!stored.reason.empty())
        return stored;

    HeaderList headers;
    headers.add("User-Agent", upload_user_agent);
    std::string url = contents_endpoint(gitee, path) + "?access_token=" + query_encode(to_utf8(gitee.access_token));
    if (!gitee.branch.empty())
        url += "&ref=" + query_encode(to_utf8(gitee.branch));
    const TokenAnswer answer =
        send_token_request(url, kHttpGet, std::string(), headers.to_header_text(), kApiReadLimit);
    return read_contents_answer(answer);
}

StoredContents read_contents_answer(const TokenAnswer& answer) {
    StoredContents stored;
    if (!answer.complete) {
        stored.reason = answer.reason;
        return stored;
    }
    if (answer.status == 404) {
        stored.kind = StoredContents::Kind::absent;
        return stored;
    }

    ScriptJson json("da");
    const bool parsed = json.parse(answer.text);
    if (answer.status == 200 && parsed && json.type_of("") == json_type_array) {
        stored.kind = json.array_length() == 0 ? StoredContents::Kind::absent : StoredContents::Kind::other;
        return stored;
    }
    if (answer.status == 200 && parsed && json.type_of("") == json_type_object) {
        const std::string type = json.get_text("type");
        const std::string sha = json.type_of("sha") == json_type_string ? json.get_text("sha") : "";
        if (!type.empty() && type != "file") {
            stored.kind = StoredContents::Kind::other;
            return stored;
        }
        if (is_sha1_hex(sha) && json.type_of("download_url") == json_type_string) {
            stored.kind = StoredContents::Kind::file;
            stored.sha = text_lower(sha);
            stored.download_url = json.get_text("download_url");
            return stored;
        }
    }
    const std::string message = parsed ? json.get_text("message") : std::string();
    stored.reason = refusal_reason(answer.status, message, answer.text);
    return stored;
}

} // namespace velpic
