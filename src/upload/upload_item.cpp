#include "upload/upload_item.h"

#include "runtime/codepage.h"
#include "runtime/files.h"

#include <optional>
#include <utility>

namespace velpic {

namespace {

ItemOutcome failed(std::string name, std::string reason) {
    ItemOutcome outcome;
    outcome.name = std::move(name);
    outcome.reason = std::move(reason);
    return outcome;
}

} // namespace

std::string signature_extension(std::string_view bytes) {
    if (bytes.starts_with(std::string_view("\x89PNG\r\n\x1a\n", 8)))
        return ".png";
    if (bytes.starts_with("\xFF\xD8\xFF"))
        return ".jpg";
    if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a"))
        return ".gif";
    if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP")
        return ".webp";
    return {};
}

FileRead read_picture_file(const std::filesystem::path& path, std::uint64_t max_bytes) {
    return read_regular_file(path, max_bytes, kSignatureBytes,
                             [](std::string_view head) { return !signature_extension(head).empty(); });
}

bool can_upload(const UploadContext& context) {
    return !context.owner.empty() && !context.repo.empty() && !context.access_token.empty();
}

std::string settings_missing_reason() {
    return utf8_to_gbk("请先填写配置！");
}

std::string too_large_reason(std::uint64_t limit) {
    return refused_file_message(FileReadStatus::too_large, limit);
}

std::string unreadable_file_reason() {
    return upload_failure_message(utf8_to_gbk("文件无法读取或为空"));
}

ItemOutcome upload_bytes_item(const UploadContext& context, std::string name, const std::string& extension,
                              const std::string& data) {
    if (!can_upload(context))
        return failed(std::move(name), settings_missing_reason());
    // upload_picture refuses them as well; a preparation is not run on bytes that are no picture.
    if (signature_extension(data).empty())
        return failed(std::move(name), wrong_type_reason());
    // Pictures are large: the bytes are copied only when a preparation made new ones.
    std::optional<std::string> prepared;
    if (context.prepare_picture)
        prepared = context.prepare_picture(data);
    const std::string& sent = prepared ? *prepared : data;
    CollectingReporter reporter;
    UploadResult result = upload_picture(context, extension, sent, reporter);
    ItemOutcome outcome;
    outcome.name = std::move(name);
    outcome.digest = std::move(result.digest);
    outcome.ok = result.ok;
    if (result.ok) {
        outcome.address = result.address;
        outcome.notes = std::move(reporter.messages);
    } else {
        // The failure message is the one the window shows; a result without one still needs a reason.
        outcome.reason = reporter.messages.empty() ? upload_failure_message(result.address) : reporter.messages.front();
    }
    return outcome;
}

ItemOutcome upload_file_item(const UploadContext& context, const std::filesystem::path& path) {
    std::string name = path.string();
    const std::string extension = picture_extension(name);
    if (!is_picture_extension(extension))
        return failed(std::move(name), wrong_type_reason());
    // One buffer of the file's exact size, and nothing past the limit is read, even from a file that grows.
    const FileRead file = read_picture_file(path, context.max_picture_bytes);
    if (std::string refusal = refused_file_message(file.status, context.max_picture_bytes); !refusal.empty())
        return failed(std::move(name), std::move(refusal));
    if (file.status != FileReadStatus::ok || file.bytes.empty())
        return failed(std::move(name), unreadable_file_reason());
    return upload_bytes_item(context, std::move(name), utf8_to_gbk(extension), file.bytes);
}

} // namespace velpic
