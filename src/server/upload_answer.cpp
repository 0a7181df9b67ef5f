#include "server/upload_answer.h"

#include "runtime/codepage.h"

#include <nlohmann/json.hpp>

namespace velpic {

namespace {

// Members in the order the answers are published in ("success" first), for clients that read them as text.
using Json = nlohmann::ordered_json;

// Item names and service messages are outside input: bytes that are not UTF-8 are replaced, never thrown on.
std::string dump(const Json& document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string failure_lines(const std::vector<ItemOutcome>& outcomes) {
    std::string lines;
    for (const ItemOutcome& outcome : outcomes) {
        if (outcome.ok)
            continue;
        if (!lines.empty())
            lines += "\n";
        lines += outcome.name + ": " + to_utf8(outcome.reason);
    }
    return lines;
}

std::string upload_answer(const std::vector<ItemOutcome>& outcomes) {
    Json result = Json::array();
    bool all_ok = !outcomes.empty();
    for (const ItemOutcome& outcome : outcomes) {
        result.push_back(outcome.ok ? to_utf8(outcome.address) : std::string());
        all_ok = all_ok && outcome.ok;
    }
    Json answer;
    answer["success"] = all_ok;
    if (!all_ok)
        answer["message"] = outcomes.empty() ? std::string("列表为空，没有要上传的图片") : failure_lines(outcomes);
    answer["result"] = std::move(result);
    return dump(answer);
}

std::string request_failure_answer(const std::string& message) {
    return dump({{"success", false}, {"message", message}, {"result", Json::array()}});
}

std::string refusal_answer(const std::string& message) {
    return dump({{"success", false}, {"message", message}});
}

std::string heartbeat_answer() {
    return dump({{"success", true}, {"result", "alive"}});
}

} // namespace velpic
