// The one place that turns what the clipboard holds into a ClipboardPicture, for the window's paste, the upload
// server and `velpic upload`. Runs on the application's thread; needs a QGuiApplication.
#pragma once

#include "upload/clipboard_picture.h"

#include <QImage>
#include <string>

class QMimeData;

namespace velpic {

// The clipboard now: copied local files when there are any, else its bitmap as PNG.
ClipboardPicture read_clipboard_picture();
ClipboardPicture clipboard_picture_from(const QMimeData* mime);

// PNG bytes that depend on the pixels only: one pixel format (alpha kept only when some pixel is not opaque), a
// fixed resolution, no text or colour-space chunks. So the same bitmap always gives the same digest.
std::string encode_png(const QImage& picture);

} // namespace velpic
