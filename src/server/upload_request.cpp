#include "server/upload_request.h"

#include "runtime/codepage.h"
#include "runtime/percent_encoding.h"
#include "script/json_depth.h"
#include "server/http_head.h"
#include "server/multipart_form.h"
#include "server/picture_download.h"
#include "upload/upload_item.h"
#include "upload/upload_picture.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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

// What a list entry that is not a text is, by its type alone: its content came from outside and is not repeated.
std::string kind_text(const nlohmann::json& entry) {
    switch (entry.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::boolean:
        return "布尔值";
    case nlohmann::json::value_t::object:
        return "对象";
    case nlohmann::json::value_t::array:
        return "数组";
    default:
        return "数字";
    }
}

RequestItem list_entry(const nlohmann::json& entry, std::size_t index) {
    if (!entry.is_string())
        return refused("list[" + std::to_string(index) + "]",
                       utf8_to_gbk("上传失败！[错误原因：不是文本，而是" + kind_text(entry) + "]"));
    RequestItem item;
    item.name = entry.get<std::string>();
    if (is_web_address(item.name)) {
        item.kind = RequestItem::Kind::address;
        return item;
    }
    item.path = item.name.size() >= 7 && same_letters(item.name.substr(0, 7), "file://") ? file_address_path(item.name)
                                                                                         : item.name;
    if (!item.path.empty() && item.path.front() == '/' && item.path.find('\0') == std::string::npos) {
        item.kind = RequestItem::Kind::file;
        return item;
    }
    return refused(item.name, utf8_to_gbk("上传失败！[错误原因：既不是绝对路径，也不是 file:// 或 http(s) 地址]"));
}

} // namespace

std::string file_address_path(const std::string& address) {
    if (address.size() < 7 || !same_letters(address.substr(0, 7), "file://"))
        return {};
    std::string rest = address.substr(7);
    const auto slash = rest.find('/');
    if (slash == std::string::npos)
        return {};
    const std::string host = rest.substr(0, slash);
    if (!host.empty() && !same_letters(host, "localhost"))
        return {}; // a file on another machine
    rest = rest.substr(slash);
    rest = rest.substr(0, rest.find_first_of("?#"));
    return percent_decode(rest, false);
}

UploadRequest parse_json_request(const std::string& body) {
    UploadRequest request;
    if (json_nested_deeper_than(body, kMaxJsonDepth)) {
        request.error = "JSON 嵌套超过 " + std::to_string(kMaxJsonDepth) + " 层，没有处理";
        return request;
    }
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& error) {
        request.error = "JSON 格式错误（在第 " + std::to_string(error.byte) + " 字节）";
        return request;
    }
    const auto list = document.is_object() ? document.find("list") : document.end();
    if (!document.is_object() || list == document.end() || !list->is_array()) {
        request.error = "JSON 中没有 \"list\" 数组";
        return request;
    }
    std::size_t index = 0;
    for (const nlohmann::json& entry : *list)
        request.items.push_back(list_entry(entry, index++));
    return request;
}

UploadRequest form_request(std::string body, const std::string& boundary) {
    UploadRequest request;
    const MultipartForm form = parse_multipart_form(body, boundary);
    if (!form.ok) {
        request.error = "表单格式错误，无法读取";
        return request;
    }
    std::vector<const FormSlice*> files;
    for (const FormSlice& part : form.parts) {
        if ((part.has_filename && !part.filename.empty()) || part.name == "files")
            files.push_back(&part);
    }
    if (files.empty()) {
        request.error = "表单中没有带文件名的部分";
        return request;
    }
    // Every other part is copied out; the largest then takes the body's own buffer over.
    const auto largest = std::max_element(files.begin(), files.end(),
                                          [](const FormSlice* a, const FormSlice* b) { return a->size < b->size; });
    request.items.resize(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FormSlice& part = *files[i];
        RequestItem& item = request.items[i];
        item.name = part.filename.empty() ? part.name + "[" + std::to_string(i) + "]" : part.filename;
        if (files.begin() + static_cast<std::ptrdiff_t>(i) != largest)
            item.bytes.assign(body, part.offset, part.size);
    }
    const std::size_t at = static_cast<std::size_t>(largest - files.begin());
    body.resize((*largest)->offset + (*largest)->size);
    body.erase(0, (*largest)->offset);
    request.items[at].bytes = std::move(body);

    for (std::size_t i = 0; i < files.size(); ++i) {
        RequestItem& item = request.items[i];
        const std::string& filename = files[i]->filename;
        if (filename.find('.') != std::string::npos) {
            const std::string extension = picture_extension(filename);
            if (!is_picture_extension(extension)) {
                item = refused(item.name, wrong_type_reason());
                continue;
            }
            item.extension = utf8_to_gbk(extension);
        } else {
            item.extension = signature_extension(item.bytes);
            if (item.extension.empty()) {
                item = refused(item.name, wrong_type_reason());
                continue;
            }
        }
        if (item.bytes.empty()) {
            item = refused(item.name, unreadable_file_reason());
            continue;
        }
        item.kind = RequestItem::Kind::bytes;
    }
    return request;
}

} // namespace velpic
