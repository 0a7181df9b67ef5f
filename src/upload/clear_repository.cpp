#include "upload/clear_repository.h"

#include "http/header_list.h"
#include "http/wininet_request.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "upload/contents_api.h"

namespace velpic {

std::string clear_repository(const std::string& owner, const std::string& repo, const std::string& access_token) {
    HeaderList headers;
    headers.add("User-Agent", upload_user_agent);
    headers.add("Content-Type", "application/json;charset=UTF-8");

    WinInetRequestOptions options;
    options.method = kHttpPut;
    options.body_text = to_utf8("{\"access_token\":\"" + json_string_escape(access_token) + "\"}");
    options.extra_headers = headers.to_header_text();
    // The body carries the access token: it goes only to a server whose certificate verifies.
    options.verify_tls = true;
    WinInetResponse response;
    wininet_request(repository_api_address(owner, repo) + "/clear", options, response);
    return text_find(response.response_headers, "204 No Content", 1, false) > 0 ? "Success" : "Error";
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
