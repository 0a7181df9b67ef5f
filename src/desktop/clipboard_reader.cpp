#include "desktop/clipboard_reader.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImageWriter>
#include <QMimeData>
#include <QUrl>
#include <cstring>

namespace velpic {

namespace {

std::filesystem::path utf8_path(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()), utf8.size()));
}

bool all_opaque(const QImage& argb) {
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            if (qAlpha(line[x]) != 255)
                return false;
        }
    }
    return true;
}

constexpr int kDotsPerMeter = 3780; // 96 dots per inch

} // namespace

std::string encode_png(const QImage& picture) {
    if (picture.isNull())
        return {};
    QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
    const QImage::Format format = all_opaque(argb) ? QImage::Format_RGB32 : QImage::Format_ARGB32;
    // A fresh image carries nothing but the pixels: no text keys, no colour space, the resolution set below.
    // (An opaque ARGB32 pixel is already the RGB32 pixel, 0xFF in the unused byte.)
    QImage clean(argb.width(), argb.height(), format);
    for (int y = 0; y < argb.height(); ++y)
        std::memcpy(clean.scanLine(y), argb.constScanLine(y), static_cast<std::size_t>(argb.width()) * 4);
    clean.setDotsPerMeterX(kDotsPerMeter);
    clean.setDotsPerMeterY(kDotsPerMeter);

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(clean))
        return {};
    return bytes.toStdString();
}

ClipboardPicture clipboard_picture_from(const QMimeData* mime) {
    ClipboardPicture picture;
    if (mime == nullptr)
        return picture;
    if (mime->hasUrls()) {
        for (const QUrl& url : mime->urls()) {
            if (url.isLocalFile())
                picture.files.push_back(utf8_path(url.toLocalFile()));
        }
    }
    if (picture.files.empty() && mime->hasImage())
        picture.png = encode_png(qvariant_cast<QImage>(mime->imageData()));
    return picture;
}

ClipboardPicture read_clipboard_picture() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        ClipboardPicture picture;
        picture.error = "the clipboard is not available";
        return picture;
    }
    return clipboard_picture_from(clipboard->mimeData());
}

} // namespace velpic
