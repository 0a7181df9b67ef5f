#include "window_harness.h"

#include "app/ui/picture_box.h"

#include <QtEndian>

using namespace velpic;
using namespace velpic::test;

namespace {

// A GIF of two 1x1 frames.
QByteArray two_frame_gif() {
    QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00", 19);
    gif += QByteArray("!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    const QByteArray frame("!\xf9\x04\x00\x0a\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
                           "D\x01\x00",
                           23);
    gif += frame;
    gif += frame;
    gif += ';';
    return gif;
}

// A PNG signature and header claiming a picture far too large to decode, with no pixel data.
QByteArray huge_png_header() {
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray ihdr("IHDR", 4);
    uchar fields[13] = {};
    qToBigEndian<quint32>(100000, fields);
    qToBigEndian<quint32>(100000, fields + 4);
    fields[8] = 8; // bit depth
    fields[9] = 6; // RGBA
    ihdr.append(reinterpret_cast<const char*>(fields), 13);
    uchar length[4];
    qToBigEndian<quint32>(13, length);
    png.append(reinterpret_cast<const char*>(length), 4);
    png += ihdr;
    uchar crc[4];
    qToBigEndian<quint32>(0, crc);
    png.append(reinterpret_cast<const char*>(crc), 4);
    return png;
}

} // namespace

TEST(PictureBox, ShowsPicturesFitsLargeOnesAndLeavesUndecodableBytesEmpty) {
    application();
    PictureBox box;
    box.resize(144, 144);

    const QByteArray png = QByteArray::fromStdString(png_bytes(300, 150, qRgb(10, 20, 30)));
    box.set_picture(png);
    EXPECT_TRUE(box.has_image());
    EXPECT_FALSE(box.is_animated());
    EXPECT_EQ(box.pixmap().size(), QSize(144, 72));
    EXPECT_EQ(box.picture(), png);

    // JPEG decodes too, through its own image plugin.
    QImage photo(40, 20, QImage::Format_RGB32);
    photo.fill(qRgb(200, 100, 50));
    QByteArray jpeg;
    QBuffer jpeg_buffer(&jpeg);
    jpeg_buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(photo.save(&jpeg_buffer, "JPEG"));
    box.set_picture(jpeg);
    EXPECT_TRUE(box.has_image());
    EXPECT_EQ(box.pixmap().size(), QSize(40, 20));

    box.set_picture(two_frame_gif());
    EXPECT_TRUE(box.is_animated());
    EXPECT_TRUE(box.has_image());

    for (const QByteArray& bad : {QByteArray("not a picture"), huge_png_header(), png.left(60), QByteArray()}) {
        box.set_picture(bad);
        EXPECT_FALSE(box.has_image());
        EXPECT_EQ(box.picture(), bad);
    }
}
