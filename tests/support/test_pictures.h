// Pictures made for the tests with Qt's own encoders: large ones that compress well, and JPEGs.
#pragma once

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <string>

namespace velpic::test {

// A picture with enough detail that no encoder makes it trivially small, and no two rows alike.
inline QImage detailed_image(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 7 + y) % 256, (x ^ y) % 256, (x * y) % 256));
    }
    return image;
}

inline std::string encoded(const QImage& image, const char* format, int quality, bool optimized = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setOptimizedWrite(optimized);
    writer.write(image);
    return bytes.toStdString();
}

// A PNG written without compression: 700 x 700 is about 1.4 MB, and shrinks losslessly to a tenth of it.
inline std::string uncompressed_png(int width, int height) {
    return encoded(detailed_image(width, height), "png", 100);
}

// A JPEG at the best quality, which quality 85 makes much smaller.
inline std::string best_jpeg(int width, int height) {
    return encoded(detailed_image(width, height), "jpeg", 100);
}

} // namespace velpic::test
