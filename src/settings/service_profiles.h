// Where each hosting service's profile lives in the settings file, so that switching services loses nothing:
//   [图床服务]   Service = "gitee" / "github" / "gitea" (missing: gitee)
//   [Gitee配置]  Owner, Repo, Access_Token as ever; Branch, ServiceUrl, AddressPrefix only once set
//   [GitHub配置] and [Gitea配置]: Owner, Repo, Access_Token, Branch, ServiceUrl, AddressPrefix
// Tokens are enciphered like the Gitee token (stored_secret.h). Texts are GBK.
#pragma once

#include "runtime/ini_file.h"
#include "upload/repository_profile.h"

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

// The section of a service's profile ("Gitee配置", "GitHub配置", "Gitea配置") and of the active service's name.
const std::string& profile_section(ServiceKind service);
const std::string& service_section();

// The active service the file names; gitee for a missing or unknown name.
ServiceKind read_active_service(const IniDocument& file);
// A service's profile as the file keeps it (token deciphered); nothing of VELPIC_SERVICE_BASE in it.
RepositoryProfile read_service_profile(const IniDocument& file, ServiceKind service);
// The same, for the profile in force: the active service's, with VELPIC_SERVICE_BASE in place of its service address
// when set.
RepositoryProfile read_active_profile(const IniDocument& file);
// profile with VELPIC_SERVICE_BASE in place of its service address when set.
RepositoryProfile in_force(RepositoryProfile profile);

// The edits that store profile in its section and make active the active service. The edits point into profile and
// storage, which must outlive them. An empty branch, service address or prefix removes its key.
// A file that never named a service (file_names_service false) keeps its bytes while gitee stays in use.
void append_profile_edits(const RepositoryProfile& profile, ServiceKind active, bool file_names_service,
                          std::deque<std::string>& storage, std::vector<IniEdit>& edits);

// The checks of a profile's own values (GBK message of the first that fails, or empty): the service address is an
// http(s) address (gitea needs one), the prefix too, the branch holds no control byte, blank or "..".
std::string check_profile_values(const RepositoryProfile& profile);

} // namespace velpic
