#include "upload/forge_repository.h"

#include "runtime/codepage.h"
#include "script/script_json.h"
#include "upload/forge_answer.h"

#include <map>
#include <mutex>

namespace velpic {

namespace {

std::mutex cache_mutex;
std::map<std::string, ForgeRepositoryInfo> cache;

} // namespace

ForgeRepositoryInfo read_forge_repository_answer(const TokenAnswer& answer) {
    ForgeRepositoryInfo info;
    ScriptJson json("da");
    if (answer.complete && answer.status == 200 && json.parse(answer.text) &&
        json.type_of("private") == json_type_boolean && json.type_of("default_branch") == json_type_string &&
        !json.get_text("default_branch").empty()) {
        info.known = true;
        info.is_private = json.get_text("private") == "true";
        info.empty = json.type_of("empty") == json_type_boolean && json.get_text("empty") == "true";
        info.default_branch = json.get_text("default_branch");
        return info;
    }
    info.reason = answer.complete && answer.status == 404 ? utf8_to_gbk("找不到这个仓库，或访问令牌无权访问它")
                                                          : forge_failure_reason(answer);
    return info;
}

ForgeRepositoryInfo forge_repository_info(const ForgeClient& client, const std::string& repository_api) {
    {
        std::lock_guard lock(cache_mutex);
        if (auto it = cache.find(repository_api); it != cache.end())
            return it->second;
    }
    ForgeRepositoryInfo info = read_forge_repository_answer(client.get(repository_api));
    if (info.known) {
        std::lock_guard lock(cache_mutex);
        cache[repository_api] = info;
    }
    return info;
}

std::string private_repository_reason(const std::string& owner, const std::string& repo) {
    return utf8_to_gbk("仓库 ") + owner + "/" + repo +
           utf8_to_gbk(" 是私有仓库，其中的文件不能公开访问，没有上传；请改用公开仓库");
}

} // namespace velpic
