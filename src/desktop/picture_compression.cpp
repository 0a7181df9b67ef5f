#include "desktop/picture_compression.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cstring>
#include <string_view>

namespace velpic {

namespace {

constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);
constexpr int kJpegQuality = 85;
// QImageWriter's PNG quality runs the other way: 0 is zlib's level 9.
constexpr int kStrongestPngQuality = 0;

std::uint32_t big_endian(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) | u[3];
}

// An animated PNG announces itself with an "acTL" chunk before its first image data; Qt would keep only the first
// frame, so such a picture is never re-encoded.
bool is_animated_png(const std::string& bytes) {
    std::size_t at = kPngSignature.size();
    while (at + 8 <= bytes.size()) {
        const std::uint32_t length = big_endian(bytes.data() + at);
        const std::string_view type(bytes.data() + at + 4, 4);
        if (type == "acTL")
            return true;
        if (type == "IDAT" || type == "IEND")
            return false;
        if (length > bytes.size() - at - 8)
            return false; // damaged; the decoder will say so
        at += 12 + std::size_t{length};
    }
    return false;
}

std::string reencoded(const std::string& bytes, const char* format, int quality, bool apply_orientation) {
    QByteArray input = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer source(&input);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source, format);
    // The EXIF block that says how a photo is turned is not written again, so its turn goes into the pixels.
    reader.setAutoTransform(apply_orientation);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return {};

    QByteArray output;
    QBuffer sink(&output);
    sink.open(QIODevice::WriteOnly);
    QImageWriter writer(&sink, format);
    writer.setQuality(quality);
    writer.setOptimizedWrite(true); // JPEG: Huffman tables made for the picture, no loss
    if (!writer.write(image))
        return {};
    return output.toStdString();
}

} // namespace

std::string compress_picture(const std::string& bytes) {
    std::string smaller;
    if (std::string_view(bytes).starts_with(kPngSignature)) {
        if (!is_animated_png(bytes))
            smaller = reencoded(bytes, "png", kStrongestPngQuality, false);
    } else if (std::string_view(bytes).starts_with("\xFF\xD8\xFF")) {
        smaller = reencoded(bytes, "jpeg", kJpegQuality, true);
    }
    if (smaller.empty() || smaller.size() >= bytes.size())
        return bytes;
    return smaller;
}

std::string compress_large_picture(const std::string& bytes) {
    return bytes.size() > kLargePictureBytes ? compress_picture(bytes) : bytes;
}

} // namespace velpic
