#include "upload/forge_answer.h"

#include "http/transport_failure.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "script/script_json.h"

namespace velpic {

std::string forge_failure_reason(const TokenAnswer& answer) {
    if (!answer.complete)
        return answer.reason;
    ScriptJson json("da");
    const std::string message =
        json.parse(answer.text) && json.type_of("message") == json_type_string ? json.get_text("message") : "";
    if (message.empty() && answer.status >= 400)
        return utf8_to_gbk(http_failure_reason(answer.status, to_utf8(answer.text)));
    if (message.empty())
        return unknown_answer_reason(answer.text);
    return utf8_to_gbk(http_failure_reason(answer.status, to_utf8(visible_text(message))));
}

ContentsApiResult read_forge_create_answer(const TokenAnswer& answer, const std::string& path,
                                           const std::string& blob_sha) {
    ContentsApiResult result;
    if (!answer.complete) {
        result.reason = answer.reason;
        result.maybe_stored = answer.outcome_unknown;
        return result;
    }
    const bool success = answer.status == 200 || answer.status == 201;
    ScriptJson json("da");
    if (success && json.parse(answer.text) && json.type_of("content") == json_type_object) {
        const std::string stored_path = json.get_text("content.path");
        const std::string stored_sha = text_lower(json.get_text("content.sha"));
        if (stored_path != path) {
            result.reason = utf8_to_gbk("服务器回答写入了另一个文件：") + visible_text(stored_path);
            return result;
        }
        result.ok = is_plain_file_name(path) && stored_sha == blob_sha;
        if (!result.ok) {
            // The lookup that follows tells a file of other bytes from a garbled answer.
            result.reason = utf8_to_gbk("服务器回答的文件内容与图片不同：") + visible_text(stored_sha);
            result.maybe_stored = true;
        }
        return result;
    }
    result.reason = forge_failure_reason(answer);
    result.maybe_stored = success || answer.status == 422 || answer.status >= 500;
    return result;
}

} // namespace velpic
