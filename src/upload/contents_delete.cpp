#include "upload/contents_delete.h"

#include "http/header_list.h"
#include "http/http_method.h"
#include "runtime/codepage.h"
#include "script/script_json.h"
#include "upload/contents_api.h"
#include "upload/contents_lookup.h"
#include "upload/token_request.h"

namespace velpic {

ContentsDeleteResult contents_api_delete_file(const std::string& owner, const std::string& repo,
                                              const std::string& path, const std::string& access_token,
                                              const std::string& sha, const std::string& message) {
    return contents_api_delete_file(gitee_profile(owner, repo, access_token), path, sha, message);
}

ContentsDeleteResult contents_api_delete_file(const RepositoryProfile& gitee, const std::string& path,
                                              const std::string& sha, const std::string& message) {
    ContentsDeleteResult result;
    result.reason = repository_name_problem(gitee.owner, gitee.repo);
    if (!result.reason.empty())
        return result;
    HeaderList headers;
    headers.add("User-Agent", upload_user_agent);
    // The call takes its values in the query; a body on a DELETE is dropped by some proxies.
    std::string url = contents_endpoint(gitee, path) + "?access_token=" + query_encode(to_utf8(gitee.access_token)) +
                      "&sha=" + query_encode(sha) + "&message=" + query_encode(to_utf8(message));
    if (!gitee.branch.empty())
        url += "&branch=" + query_encode(to_utf8(gitee.branch));
    return read_delete_answer(send_token_request(url, kHttpDelete, std::string(), headers.to_header_text()));
}

ContentsDeleteResult read_delete_answer(const TokenAnswer& answer) {
    ContentsDeleteResult result;
    if (!answer.complete) {
        result.reason = answer.reason;
        return result;
    }
    if (answer.status == 200 || answer.status == 204) {
        result.kind = ContentsDeleteResult::Kind::deleted;
        return result;
    }
    if (answer.status == 404) {
        result.kind = ContentsDeleteResult::Kind::absent;
        return result;
    }
    ScriptJson json("da");
    const std::string message = json.parse(answer.text) ? json.get_text("message") : std::string();
    result.reason = message.empty() ? unknown_answer_reason(answer.text) : visible_text(message);
    return result;
}

} // namespace velpic
