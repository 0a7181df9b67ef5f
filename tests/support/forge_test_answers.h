// Pieces the forge stand-in's files share: JSON answers, path pieces, query values, Base64.
#pragma once

#include "support/test_service.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace velpic::test::forge {

inline ServiceAnswer json_answer(int status, const nlohmann::json& body) {
    ServiceAnswer answer;
    answer.status = status;
    answer.headers = {{"Content-Type", "application/json; charset=utf-8"}};
    answer.body = body.dump();
    return answer;
}

inline ServiceAnswer message_answer(int status, const std::string& message) {
    return json_answer(status, {{"message", message}, {"documentation_url", "https://docs.example.invalid/rest"}});
}

// "/a/b/c" -> {"a", "b", "c"}.
std::vector<std::string> split_path(const std::string& path);
// The segments from count on, joined by "/".
std::string path_tail(const std::vector<std::string>& parts, std::size_t count);
// One value of the target's query, percent-decoded; empty when absent.
std::string query_value(const std::string& target, const std::string& name);
using velpic::test::base64_encode;
// A string member of a JSON object; empty when missing or not a string.
std::string text_of(const nlohmann::json& object, const char* key);

} // namespace velpic::test::forge
