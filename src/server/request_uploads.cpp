#include "server/request_uploads.h"

#include "runtime/codepage.h"
#include "server/picture_download.h"
#include "upload/upload_picture.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace velpic {

namespace {

ItemOutcome failed(const std::string& name, std::string reason) {
    ItemOutcome outcome;
    outcome.name = name;
    outcome.reason = std::move(reason);
    return outcome;
}

// The bytes decide what a downloaded file is; the address's own extension is kept when it names the same type.
std::string download_extension(const std::string& address, const std::string& bytes) {
    const std::string by_signature = signature_extension(bytes);
    if (by_signature.empty())
        return {};
    std::string path = address.substr(0, address.find_first_of("?#"));
    const auto slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.find('.') == std::string::npos)
        return by_signature;
    const std::string named = picture_extension(last);
    std::string lower = named;
    for (char& c : lower)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const bool same_type = lower == by_signature || (lower == ".jpeg" && by_signature == ".jpg");
    return same_type && is_picture_extension(named) ? named : by_signature;
}

ItemOutcome upload_address(const UploadContext& context, const RequestItem& item, const DownloadBounds& bounds) {
    PictureDownload download = download_picture(item.name, bounds);
    if (!download.ok)
        return failed(item.name, upload_failure_message(utf8_to_gbk(download.error)));
    const std::string extension = download_extension(item.name, download.bytes);
    if (extension.empty())
        return failed(item.name, wrong_type_reason());
    return upload_bytes_item(context, item.name, extension, download.bytes);
}

ItemOutcome upload_item(const UploadContext& context, const RequestItem& item, const DownloadBounds& bounds) {
    switch (item.kind) {
    case RequestItem::Kind::file: {
        const std::u8string utf8(item.path.begin(), item.path.end());
        ItemOutcome outcome = upload_file_item(context, std::filesystem::path(utf8));
        outcome.name = item.name;
        return outcome;
    }
    case RequestItem::Kind::address:
        return upload_address(context, item, bounds);
    case RequestItem::Kind::bytes:
        return upload_bytes_item(context, item.name, item.extension, item.bytes);
    case RequestItem::Kind::refused:
        break;
    }
    return failed(item.name, item.reason);
}

} // namespace

std::string no_clipboard_reason() {
    return utf8_to_gbk("没有显示器，无法读取剪贴板");
}

std::vector<ItemOutcome> upload_request_items(const UploadRequest& request, const UploadContext& settings,
                                              ClipboardSource* clipboard, const DownloadBounds& downloads) {
    // A file is read whole, so no picture goes past the server's own bound either.
    UploadContext context = settings;
    context.max_picture_bytes = std::min<std::uint64_t>(context.max_picture_bytes, downloads.limit);
    std::vector<ItemOutcome> outcomes;
    if (request.clipboard) {
        ClipboardPicture picture;
        if (clipboard == nullptr)
            picture.error = no_clipboard_reason();
        else if (can_upload(context))
            picture = clipboard->read();
        else
            picture.error = settings_missing_reason();
        return upload_clipboard_picture(context, picture);
    }
    for (const RequestItem& item : request.items) {
        // Nothing is fetched or read for an upload that cannot happen.
        if (!can_upload(context) && item.kind != RequestItem::Kind::refused)
            outcomes.push_back(failed(item.name, settings_missing_reason()));
        else
            outcomes.push_back(upload_item(context, item, downloads));
    }
    return outcomes;
}

} // namespace velpic
