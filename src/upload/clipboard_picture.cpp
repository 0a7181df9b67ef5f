#include "upload/clipboard_picture.h"

#include "runtime/codepage.h"

namespace velpic {

namespace {

constexpr const char* kBitmapName = "clipboard";

ItemOutcome failed(std::string reason) {
    ItemOutcome outcome;
    outcome.name = kBitmapName;
    outcome.reason = std::move(reason);
    return outcome;
}

} // namespace

std::string clipboard_empty_reason() {
    return utf8_to_gbk("剪贴板中没有图片");
}

std::vector<ItemOutcome> upload_clipboard_picture(const UploadContext& context, const ClipboardPicture& picture) {
    if (!picture.error.empty())
        return {failed(picture.error)};
    std::vector<ItemOutcome> outcomes;
    if (!picture.files.empty()) {
        for (const std::filesystem::path& file : picture.files)
            outcomes.push_back(upload_file_item(context, file));
        return outcomes;
    }
    if (picture.png.empty())
        return {failed(clipboard_empty_reason())};
    if (picture.png.size() > context.max_picture_bytes)
        return {failed(too_large_reason(context.max_picture_bytes))};
    outcomes.push_back(upload_bytes_item(context, kBitmapName, ".png", picture.png));
    return outcomes;
}

} // namespace velpic
