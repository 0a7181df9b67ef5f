// What the records page shows, without the widgets: the rows read from a record store and the status of a
// link check.
#pragma once

#include "records/mysql_record_store.h"
#include "records/mysql_settings.h"
#include "records/upload_record.h"

#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

enum class LinkStatus { pending, checking, valid, expired, failed, abnormal };

// The status column's text (GBK): "待检测", "正在检测...", "有效", "已失效", "检测失败", "内容异常".
// The check itself is in link_check.h.
std::string link_status_text(LinkStatus status);

// The records of the chosen store, in store order. MySQL: this machine's records, none when a setting is
// missing (server, user, password, database empty or port 0). Local: the record file in program_dir.
// outcome, when given, tells a MySQL listing that could not be read from an empty one.
std::vector<UploadRecord> load_record_rows(bool mysql_selected, const MysqlSettings& mysql,
                                           const std::string& machine_code, const std::filesystem::path& program_dir,
                                           MysqlOutcome* outcome = nullptr);

} // namespace velpic
