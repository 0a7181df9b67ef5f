#include "upload/gitea_batch.h"

#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "script/script_json.h"
#include "upload/contents_lookup.h"
#include "upload/forge_answer.h"
#include "upload/forge_service.h"
#include "upload/git_blob.h"

namespace velpic {

ForgeJsonBody gitea_batch_body(const std::vector<BatchFile>& files, const std::string& message,
                               const std::string& branch) {
    ForgeJsonBody body;
    std::string text =
        "{" + forge_json_field("branch", branch) + "," + forge_json_field("message", message) + ",\"files\":[";
    for (std::size_t i = 0; i < files.size(); ++i) {
        const BatchFile& file = files[i];
        text += (i == 0 ? "{" : ",{") + forge_json_field("path", file.path) + ",";
        if (file.remove) {
            text += "\"operation\":\"delete\"," + forge_json_field("sha", file.sha) + "}";
            continue;
        }
        body.add_text(text + "\"operation\":\"create\",\"content\":\"");
        body.add_base64(file.bytes);
        text = "\"}";
    }
    body.add_text(text + "]}");
    return body;
}

bool gitea_batch_unsupported(const TokenAnswer& answer) {
    return answer.complete && (answer.status == 404 || answer.status == 405);
}

BatchCommitResult read_gitea_batch_answer(const TokenAnswer& answer, const std::vector<BatchFile>& files) {
    BatchCommitResult result;
    if (!answer.complete) {
        result.reason = answer.reason;
        result.maybe_stored = answer.outcome_unknown;
        return result;
    }
    const bool success = answer.status == 200 || answer.status == 201;
    ScriptJson json("da");
    if (success && json.parse(answer.text) && json.type_of("files") == json_type_array &&
        json.array_length("files") == static_cast<int>(files.size())) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string at = "files[" + std::to_string(i) + "].";
            if (files[i].remove)
                continue;
            if (json.get_text(at + "path") != files[i].path ||
                text_lower(json.get_text(at + "sha")) != git_blob_sha1(files[i].bytes)) {
                result.reason = utf8_to_gbk("服务器回答的文件与提交的不同：") + visible_text(files[i].path);
                result.maybe_stored = true;
                return result;
            }
        }
        result.ok = true;
        return result;
    }
    result.reason = forge_failure_reason(answer);
    // 422: a file of the batch is there already, maybe from an attempt whose answer was lost.
    result.maybe_stored = success || answer.status == 422 || answer.status >= 500;
    return result;
}

bool gitea_list_root(const ForgeClient& client, const std::string& repository_api, const std::string& branch,
                     std::vector<GiteaRootEntry>& entries, std::string& reason, bool& missing) {
    return read_gitea_root_answer(client.get(repository_api + "/contents?ref=" + query_encode(to_utf8(branch))),
                                  entries, reason, missing);
}

bool read_gitea_root_answer(const TokenAnswer& answer, std::vector<GiteaRootEntry>& entries, std::string& reason,
                            bool& missing) {
    entries.clear();
    missing = answer.complete && answer.status == 404;
    ScriptJson json("da");
    if (!(answer.complete && answer.status == 200 && json.parse(answer.text) && json.type_of("") == json_type_array)) {
        reason = forge_failure_reason(answer);
        return false;
    }
    const int count = json.array_length();
    for (int i = 0; i < count; ++i) {
        const std::string at = "[" + std::to_string(i) + "].";
        entries.push_back(
            {json.get_text(at + "path"), text_lower(json.get_text(at + "sha")), json.get_text(at + "type") == "file"});
    }
    return true;
}

} // namespace velpic
