// Emptying the whole repository on the hosting service, and with it the chosen record store.
#pragma once

#include "records/mysql_settings.h"

#include <filesystem>
#include <string>

namespace velpic {

// PUT service_base() + "api/v5/repos/" + owner + "/" + repo + "/clear". "Success" when the answer's headers
// contain "204 No Content", otherwise "Error".
std::string clear_repository(const std::string& owner, const std::string& repo, const std::string& access_token);

// What removing the records after a successful clear came to; the repository is already empty either way.
struct RecordRemoval {
    bool ok = true;
    std::string error; // GBK; the MySQL client's message when the table could not be emptied
};

// Throws away every record of the chosen store: the table (all machines) when use_mysql, else the local record
// file in program_dir (a missing file is no error).
RecordRemoval remove_all_records(bool use_mysql, const MysqlSettings& mysql, const std::filesystem::path& program_dir);

} // namespace velpic
