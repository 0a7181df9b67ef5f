#include "server/upload_request.h"

#include "runtime/codepage.h"
#include "server/picture_download.h"
#include "upload/upload_item.h"
#include "upload/upload_picture.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace velpic {

namespace {

RequestItem refused(std::string name, std::string reason) {
    RequestItem item;
    item.kind = RequestItem::Kind::refused;
    item.name = std::move(name);
    item.reason = std::move(reason);
    return item;
}

RequestItem list_entry(const nlohmann::json& entry, std::size_t index) {
    if (!entry.is_string())
        return refused("list[" + std::to_string(index) + "]",
                       "not a text: " + entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    RequestItem item;
    item.name = entry.get<std::string>();
    if (is_web_address(item.name)) {
        item.kind = RequestItem::Kind::address;
    } else if (!item.name.empty() && item.name.front() == '/' && item.name.find('\0') == std::string::npos) {
        item.kind = RequestItem::Kind::file;
    } else {
        return refused(item.name, "neither an absolute file path nor an http(s) address");
    }
    return item;
}

} // namespace

UploadRequest parse_json_request(const std::string& body) {
    UploadRequest request;
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& error) {
        request.error = "malformed JSON body (at byte " + std::to_string(error.byte) + ")";
        return request;
    }
    const auto list = document.is_object() ? document.find("list") : document.end();
    if (!document.is_object() || list == document.end() || !list->is_array()) {
        request.error = "the JSON body has no \"list\" array";
        return request;
    }
    std::size_t index = 0;
    for (const nlohmann::json& entry : *list)
        request.items.push_back(list_entry(entry, index++));
    return request;
}

UploadRequest form_request(std::vector<FormPart> parts) {
    UploadRequest request;
    if (parts.empty()) {
        request.error = "the form has no part named \"files\"";
        return request;
    }
    std::size_t index = 0;
    for (FormPart& part : parts) {
        RequestItem item;
        item.name = part.filename.empty() ? "files[" + std::to_string(index) + "]" : part.filename;
        ++index;
        if (part.filename.find('.') != std::string::npos) {
            const std::string extension = picture_extension(part.filename);
            if (!is_picture_extension(extension)) {
                request.items.push_back(refused(item.name, wrong_type_reason()));
                continue;
            }
            item.extension = utf8_to_gbk(extension);
        } else {
            item.extension = signature_extension(part.content);
            if (item.extension.empty()) {
                request.items.push_back(refused(item.name, wrong_type_reason()));
                continue;
            }
        }
        if (part.content.empty()) {
            request.items.push_back(refused(item.name, unreadable_file_reason()));
            continue;
        }
        item.kind = RequestItem::Kind::bytes;
        item.bytes = std::move(part.content);
        request.items.push_back(std::move(item));
    }
    return request;
}

} // namespace velpic
