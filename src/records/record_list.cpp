#include "records/record_list.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"

namespace velpic {

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
    case LinkStatus::abnormal:
        return "\xC4\xDA\xC8\xDD\xD2\xEC\xB3\xA3"; // 内容异常
    }
    return {};
}

std::vector<UploadRecord> load_record_rows(bool mysql_selected, const MysqlSettings& mysql,
                                           const std::string& machine_code, const std::filesystem::path& program_dir,
                                           MysqlOutcome* outcome) {
    if (mysql_selected) {
        if (!mysql.complete())
            return {};
        return MysqlRecordStore(mysql).list_machine_records(machine_code, outcome);
    }
    return read_all_local_records(local_record_file_path(program_dir));
}

} // namespace velpic
