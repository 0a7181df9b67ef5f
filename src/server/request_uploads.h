// Hands each item of an upload request to the upload core, in item order, and keeps one outcome per item.
#pragma once

#include "server/picture_download.h"
#include "server/upload_request.h"
#include "upload/clipboard_picture.h"
#include "upload/upload_item.h"

#include <cstddef>
#include <vector>

namespace velpic {

// clipboard may be null (no display): a clipboard request then fails with a message saying so.
// downloads bounds every download; its limit, with the context's max_picture_bytes, every picture read from a
// file or the clipboard too.
std::vector<ItemOutcome> upload_request_items(const UploadRequest& request, const UploadContext& context,
                                              ClipboardSource* clipboard, const DownloadBounds& downloads);

// "没有显示器，无法读取剪贴板": why a clipboard request fails without a display (GBK).
std::string no_clipboard_reason();

} // namespace velpic
