// Emptying the whole repository on the hosting service, and with it the chosen record store.
#pragma once

#include "records/mysql_settings.h"
#include "upload/repository_profile.h"

#include <filesystem>
#include <string>

namespace velpic {

struct ClearOutcome {
    bool ok = false;
    std::string reason; // GBK, for the user: why the repository was not cleared
};

// PUT service_base() + "api/v5/repos/" + owner + "/" + repo + "/clear", ok when the answer's headers contain
// "204 No Content". The body carries the token: it goes only to a server whose certificate verifies, a redirect is
// a failure naming its target (even a 302 would send the body on), and owner and repository that would change
// the API path are refused before anything is sent.
ClearOutcome clear_repository_outcome(const std::string& owner, const std::string& repo,
                                      const std::string& access_token);
// The same under a gitee profile's service address.
ClearOutcome clear_repository_outcome(const RepositoryProfile& gitee);
// The same as "Success" or "Error".
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
