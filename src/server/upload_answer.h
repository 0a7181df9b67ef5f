// The JSON bodies the upload server answers with, UTF-8.
#pragma once

#include "upload/upload_item.h"

#include <string>
#include <vector>

namespace velpic {

// {"success": true, "result": [addresses]} when every item succeeded; otherwise {"success": false, "message":
// one line per failed item ("name: reason"), "result": [address or "" per item]}. No items is a failure too.
std::string upload_answer(const std::vector<ItemOutcome>& outcomes);

// {"success": false, "message": message, "result": []}: the request as a whole could not be taken.
std::string request_failure_answer(const std::string& message);

// {"success": false, "message": message}: refused before any upload (key, size).
std::string refusal_answer(const std::string& message);

// {"success": true, "result": "alive"}
std::string heartbeat_answer();

// The failed items as the answer's message names them, one "name: reason" per line (UTF-8).
std::string failure_lines(const std::vector<ItemOutcome>& outcomes);

} // namespace velpic
