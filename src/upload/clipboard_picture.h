// What the clipboard holds for an upload, and its upload: a bitmap goes up as PNG, copied files go up as files.
// Reading the clipboard is the desktop's business; it is handed in through ClipboardSource.
#pragma once

#include "upload/upload_item.h"

#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

struct ClipboardPicture {
    std::vector<std::filesystem::path> files; // copied local files, in clipboard order; they win over a bitmap
    std::string png;                          // the bitmap encoded as PNG; empty when there is none
    std::string error;                        // GBK: why the clipboard could not be read at all; empty when it was
};

// Reads the clipboard of the desktop. Safe to call from any thread.
class ClipboardSource {
public:
    virtual ~ClipboardSource() = default;
    virtual ClipboardPicture read() = 0;
};

// "剪贴板中没有图片" (GBK).
std::string clipboard_empty_reason();

// One outcome per file, or one for the bitmap (named "clipboard"), or one failure when there is nothing to send.
// Files and the bitmap over the context's max_picture_bytes are refused before they are read or prepared.
std::vector<ItemOutcome> upload_clipboard_picture(const UploadContext& context, const ClipboardPicture& picture);

} // namespace velpic
