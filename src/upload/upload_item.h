// One picture of a batch (a file, downloaded bytes, a part of a form, a clipboard bitmap) handed to upload_picture
// with a reporter that keeps what the upload says instead of showing it, so the caller can answer for every item.
#pragma once

#include "upload/upload_picture.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct ItemOutcome {
    std::string name;               // the item as its caller named it (a path, an address, a file name); UTF-8
    bool ok = false;                // an address of the repository came out
    std::string address;            // GBK; empty when not ok
    std::string digest;             // of the bytes sent (after the context's prepare_picture); empty if not hashed
    std::string reason;             // GBK: what the window would show for the failure; empty when ok
    std::vector<std::string> notes; // GBK: messages of an upload that still succeeded (a record not kept)
};

// The extension a picture's leading bytes call for: ".png", ".jpg", ".gif" or ".webp"; empty for any other bytes.
// These are the signatures the link check knows; only bytes with one of them are ever uploaded.
std::string signature_extension(std::string_view bytes);
// How many leading bytes signature_extension needs at most.
inline constexpr std::size_t kSignatureBytes = 12;

// A picture file's bytes, as every path that uploads files reads them: a FIFO or device is refused unopened for
// reading, a file over max_bytes unread, and a file whose first kSignatureBytes bytes are no picture signature
// (refused_head) with nothing past them read.
FileRead read_picture_file(const std::filesystem::path& path, std::uint64_t max_bytes);

// Owner, repository and token are all known; without them an item fails with "请先填写配置！".
bool can_upload(const UploadContext& context);

// Bytes whose extension the caller has settled (with its leading "."), passed through the context's
// prepare_picture first.
ItemOutcome upload_bytes_item(const UploadContext& context, std::string name, const std::string& extension,
                              const std::string& data);

// A picture file, as the command line takes it: the extension check, then read_picture_file (a file over the
// context's max_picture_bytes is refused unread, one without a picture signature after its first bytes; an empty
// or unreadable one is refused), then the upload. The outcome is named by the path.
ItemOutcome upload_file_item(const UploadContext& context, const std::filesystem::path& path);

// Item reasons (GBK) shared by every caller, in the words the window uses.
std::string settings_missing_reason(); // 请先填写配置！
// wrong_type_reason() (upload_picture.h): 只能是PNG,JPG,GIF,WEBP格式的图片！ (also for bytes of no picture type)
std::string too_large_reason(std::uint64_t limit); // 上传失败！[错误原因：图片大于 … 的上限，没有上传]
std::string unreadable_file_reason();              // 上传失败！[错误原因：文件无法读取或为空]

} // namespace velpic
