#include "records/record_list.h"

#include "http/header_list.h"
#include "http/winhttp_request.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"

#include <cctype>
#include <string_view>

namespace velpic {

namespace {

constexpr const char* link_check_user_agent = "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like "
                                              "Gecko) Chrome/50.0.2661.87 Safari/537.36";
constexpr std::string_view expiry_marker = "404 Not Found";

} // namespace

std::string link_status_text(LinkStatus status) {
    switch (status) {
    case LinkStatus::pending:
        return "\xB4\xFD\xBC\xEC\xB2\xE2"; // 待检测
    case LinkStatus::checking:
        return "\xD5\xFD\xD4\xDA\xBC\xEC\xB2\xE2..."; // 正在检测...
    case LinkStatus::valid:
        return "\xD3\xD0\xD0\xA7"; // 有效
    case LinkStatus::expired:
        return "\xD2\xD1\xCA\xA7\xD0\xA7"; // 已失效
    case LinkStatus::failed:
        return "\xBC\xEC\xB2\xE2\xCA\xA7\xB0\xDC"; // 检测失败
    }
    return {};
}

LinkStatus classify_link_answer(const LinkAnswer& answer) {
    if (!answer.answered)
        return LinkStatus::failed;
    if (answer.status == 404 || answer.status == 410 || answer.body.find(expiry_marker) != std::string::npos)
        return LinkStatus::expired;
    return LinkStatus::valid;
}

LinkAnswer link_answer_from(const std::string& status_text, std::string body) {
    LinkAnswer answer;
    if (status_text.size() >= 3 && std::isdigit(static_cast<unsigned char>(status_text[0])) &&
        std::isdigit(static_cast<unsigned char>(status_text[1])) &&
        std::isdigit(static_cast<unsigned char>(status_text[2])) &&
        (status_text.size() == 3 || status_text[3] == ' ')) {
        const int code = std::stoi(status_text.substr(0, 3));
        if (code >= 100 && code <= 599) {
            answer.answered = true;
            answer.status = code;
        }
    }
    answer.body = std::move(body);
    return answer;
}

LinkStatus check_link(const std::string& address) {
    HeaderList headers;
    headers.add("User-Agent", link_check_user_agent);
    WinHttpRequestOptions options;
    options.method = kHttpGet;
    options.extra_headers = headers.to_header_text();
    WinHttpResponse response;
    std::string body = winhttp_request(address, options, response);
    return classify_link_answer(link_answer_from(response.status_text, std::move(body)));
}

std::vector<UploadRecord> load_record_rows(bool mysql_selected, const MysqlSettings& mysql,
                                           const std::string& machine_code, const std::filesystem::path& program_dir) {
    if (mysql_selected) {
        if (!mysql.complete())
            return {};
        return MysqlRecordStore(mysql).list_machine_records(machine_code);
    }
    return read_all_local_records(local_record_file_path(program_dir));
}

} // namespace velpic
