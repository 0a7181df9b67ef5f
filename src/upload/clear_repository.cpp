#include "upload/clear_repository.h"

#include "http/header_list.h"
#include "http/header_text.h"
#include "http/transport_failure.h"
#include "http/wininet_request.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "script/script_json.h"
#include "upload/contents_api.h"
#include "upload/token_request.h"

#include <algorithm>
#include <cstdlib>

namespace velpic {

ClearOutcome clear_repository_outcome(const std::string& owner, const std::string& repo,
                                      const std::string& access_token) {
    return clear_repository_outcome(gitee_profile(owner, repo, access_token));
}

ClearOutcome clear_repository_outcome(const RepositoryProfile& gitee) {
    const std::string& access_token = gitee.access_token;
    ClearOutcome outcome;
    outcome.reason = repository_name_problem(gitee.owner, gitee.repo);
    if (!outcome.reason.empty())
        return outcome;

    HeaderList headers;
    headers.add("User-Agent", upload_user_agent);
    headers.add("Content-Type", "application/json;charset=UTF-8");

    WinInetRequestOptions options;
    options.method = kHttpPut;
    options.body_text = to_utf8("{\"access_token\":\"" + json_string_escape(access_token) + "\"}");
    options.extra_headers = headers.to_header_text();
    options.verify_tls = true;
    options.no_redirect = true;
    options.max_body_bytes = kApiAnswerLimit;
    WinInetResponse response;
    const std::string body = wininet_request(repository_api_address(gitee) + "/clear", options, response);
    if (text_find(response.response_headers, "204 No Content", 1, false) > 0) {
        outcome.ok = true;
        return outcome;
    }

    // Without a head the routine leaves 5000 spaces (or nothing, when no request could be set up).
    const std::string status_line = response.response_headers.substr(0, response.response_headers.find("\r\n"));
    if (!text_starts_with(status_line, "HTTP/")) {
        outcome.reason = response.failure_reason.empty() ? utf8_to_gbk("服务器没有回答") : response.failure_reason;
        return outcome;
    }
    const std::string status = status_line.substr(std::min(status_line.size(), std::size_t{9}));
    if (text_starts_with(status, "3")) {
        std::string location;
        for (const std::string& line : text_split(response.response_headers, "\r\n"))
            if (text_lower(text_before(line, ":")) == "location")
                location = text_trim(line.substr(line.find(':') + 1));
        outcome.reason = token_redirect_reason(location);
        return outcome;
    }
    // The service explains a refusal in a JSON message, in UTF-8.
    ScriptJson json("da");
    std::string message;
    if (response.complete && json.parse(is_valid_utf8(body) ? utf8_to_gbk(body) : body))
        message = json.get_text("message");
    const int code = std::atoi(status.c_str());
    outcome.reason = utf8_to_gbk(http_failure_reason(code, to_utf8(message.empty() ? visible_text(status) : message)));
    return outcome;
}

std::string clear_repository(const std::string& owner, const std::string& repo, const std::string& access_token) {
    return clear_repository_outcome(owner, repo, access_token).ok ? "Success" : "Error";
}

RecordRemoval remove_all_records(bool use_mysql, const MysqlSettings& mysql, const std::filesystem::path& program_dir) {
    RecordRemoval removal;
    if (use_mysql) {
        MysqlOutcome outcome = MysqlRecordStore(mysql).remove_all_records();
        removal.ok = outcome.ok;
        removal.error = outcome.error;
    } else {
        const std::filesystem::path file = local_record_file_path(program_dir);
        removal.ok = remove_all_local_records(file);
        if (!removal.ok)
            removal.error = utf8_to_gbk("无法删除 " + file.string());
    }
    return removal;
}

} // namespace velpic
