// What the records page shows, without the widgets: the rows read from a record store and the status of a
// link check.
#pragma once

#include "records/mysql_settings.h"
#include "records/upload_record.h"

#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

enum class LinkStatus { pending, checking, valid, expired, failed };

// The status column's text (GBK): "待检测", "正在检测...", "有效", "已失效", "检测失败".
std::string link_status_text(LinkStatus status);

// What a link check got back.
struct LinkAnswer {
    bool answered = false; // a status line arrived
    int status = 0;        // its code
    std::string body;      // the body as text
};

// Expired when the body carries "404 Not Found" or the status is 404 or 410; a check that got no answer
// at all failed (it says nothing about the link); any other answer is valid.
LinkStatus classify_link_answer(const LinkAnswer& answer);

// Splits the request engine's status text ("404 Not Found", or an engine error "7xx ..."): answered when it
// starts with a three-digit code from 100 to 599.
LinkAnswer link_answer_from(const std::string& status_text, std::string body);

// One GET of address with the link check's user agent, classified.
LinkStatus check_link(const std::string& address);

// The records of the chosen store, in store order. MySQL: this machine's records, none when a setting is
// missing (server, user, password, database empty or port 0). Local: the record file in program_dir.
std::vector<UploadRecord> load_record_rows(bool mysql_selected, const MysqlSettings& mysql,
                                           const std::string& machine_code, const std::filesystem::path& program_dir);

} // namespace velpic
