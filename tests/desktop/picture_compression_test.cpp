#include "desktop/picture_compression.h"

#include "support/test_pictures.h"

#include <QImage>
#include <QTransform>
#include <gtest/gtest.h>

namespace velpic {
namespace {

using test::best_jpeg;
using test::detailed_image;
using test::encoded;
using test::uncompressed_png;

QImage decoded(const std::string& bytes) {
    return QImage::fromData(QByteArray::fromStdString(bytes)).convertToFormat(QImage::Format_RGB32);
}

TEST(PictureCompression, PngShrinksWithoutLosingAPixelAndJpegShrinksAtQuality85TheSameWayEachTime) {
    const std::string png = uncompressed_png(700, 700);
    ASSERT_GT(png.size(), kLargePictureBytes);
    const std::string smaller_png = compress_large_picture(png);
    EXPECT_LT(smaller_png.size(), png.size() / 2);
    EXPECT_EQ(smaller_png.rfind("\x89PNG", 0), 0u);
    EXPECT_EQ(decoded(smaller_png), detailed_image(700, 700)); // lossless
    EXPECT_EQ(compress_large_picture(png), smaller_png);       // the same original, the same bytes

    const std::string jpeg = best_jpeg(1000, 1000);
    ASSERT_GT(jpeg.size(), kLargePictureBytes);
    const std::string smaller_jpeg = compress_large_picture(jpeg);
    EXPECT_LT(smaller_jpeg.size(), jpeg.size());
    EXPECT_EQ(compress_large_picture(jpeg), smaller_jpeg);
    // Quality 85 exactly, with Huffman tables made for the picture.
    EXPECT_EQ(smaller_jpeg, encoded(QImage::fromData(QByteArray::fromStdString(jpeg)), "jpeg", 85, true));
}

TEST(PictureCompression, APhotoTurnedByItsExifBlockStaysTurned) {
    // Orientation 6: the camera was held upright, the pixels lie on their side. The block is not written again,
    // so the turn must go into the pixels.
    const std::string photo = best_jpeg(300, 200);
    const std::string exif("\xFF\xE1\x00\x22"
                           "Exif\0\0"
                           "MM\0\x2A\0\0\0\x08"
                           "\0\x01"
                           "\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"
                           "\0\0\0\0",
                           36);
    std::string turned = photo;
    turned.insert(2, exif);
    ASSERT_EQ(QImage::fromData(QByteArray::fromStdString(turned)).size(), QSize(300, 200));
    const std::string smaller = compress_picture(turned);
    ASSERT_NE(smaller, turned);
    EXPECT_EQ(QImage::fromData(QByteArray::fromStdString(smaller)).size(), QSize(200, 300));
}

TEST(PictureCompression, WhatCannotBeMadeSmallerSafelyComesBackUnchanged) {
    // Small pictures are not touched at all, even when they would shrink.
    const std::string small = uncompressed_png(100, 100);
    EXPECT_EQ(compress_large_picture(small), small);
    EXPECT_LT(compress_picture(small).size(), small.size());

    // A PNG already at the strongest level does not grow, nor a JPEG already below quality 85.
    const std::string tight = encoded(detailed_image(700, 700), "png", 0);
    EXPECT_EQ(compress_picture(tight), tight);
    const std::string low = encoded(detailed_image(700, 700), "jpeg", 40);
    EXPECT_EQ(compress_picture(low), low);

    // GIF, WebP, an animated PNG (Qt would keep its first frame only) and bytes that do not decode.
    const std::string gif = "GIF89a" + std::string(2 * kLargePictureBytes, 'g');
    EXPECT_EQ(compress_large_picture(gif), gif);
    std::string animated = small;
    const std::string actl("\0\0\0\x08"
                           "acTL\0\0\0\x02\0\0\0\0\0\0\0\0",
                           20);
    animated.insert(33, actl); // after the signature (8) and the IHDR chunk (25)
    EXPECT_EQ(compress_picture(animated), animated);
    const std::string broken = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(2 * kLargePictureBytes, 'x');
    EXPECT_EQ(compress_large_picture(broken), broken);
    const std::string broken_jpeg = "\xFF\xD8\xFF" + std::string(2 * kLargePictureBytes, 'x');
    EXPECT_EQ(compress_large_picture(broken_jpeg), broken_jpeg);
}

} // namespace
} // namespace velpic
