#include "cli/command_runner.h"
#include "window_harness.h"

#include "desktop/clipboard_reader.h"
#include "desktop/qt_clipboard_source.h"
#include "desktop/qt_command_desktop.h"
#include "runtime/md5.h"
#include "support/test_service.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <future>

using namespace velpic;
using namespace velpic::test;

namespace {

QImage gradient(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 5, y * 7, (x + y) % 256));
    }
    return image;
}

template <class T> bool ready(const std::future<T>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

} // namespace

TEST(ClipboardPicture, TheSamePixelsAlwaysGiveTheSamePngBytes) {
    application();
    const QImage picture = gradient(40, 30);
    const std::string bytes = encode_png(picture);
    ASSERT_EQ(bytes.rfind("\x89PNG", 0), 0u);

    // What a clipboard carrier adds or changes besides the pixels does not change the bytes.
    QImage with_extras = picture.convertToFormat(QImage::Format_ARGB32);
    with_extras.setText(QStringLiteral("Comment"), QStringLiteral("from a screenshot tool"));
    with_extras.setDotsPerMeterX(5906);
    with_extras.setDotsPerMeterY(5906);
    EXPECT_EQ(encode_png(with_extras), bytes);
    EXPECT_EQ(encode_png(picture.convertToFormat(QImage::Format_RGB888)), bytes);
    EXPECT_EQ(encode_png(picture.copy()), bytes);

    QImage other = picture.copy();
    other.setPixel(3, 4, qRgb(1, 2, 3));
    EXPECT_NE(encode_png(other), bytes);

    // The pixels survive, transparency included.
    EXPECT_EQ(QImage::fromData(QByteArray::fromStdString(bytes)).convertToFormat(QImage::Format_RGB32), picture);
    QImage clear = picture.convertToFormat(QImage::Format_ARGB32);
    clear.setPixel(0, 0, qRgba(10, 20, 30, 0));
    EXPECT_EQ(qAlpha(QImage::fromData(QByteArray::fromStdString(encode_png(clear))).pixel(0, 0)), 0);
}

TEST(ClipboardPicture, ReadersOnOtherThreadsAreAnsweredByTheApplicationAndLetGoOnClose) {
    application();
    const QImage picture = gradient(8, 8);
    QGuiApplication::clipboard()->setImage(picture);
    auto source = std::make_shared<QtClipboardSource>();

    std::future<ClipboardPicture> reader = std::async(std::launch::async, [&] { return source->read(); });
    ASSERT_TRUE(eventually([&] { return ready(reader); }));
    const ClipboardPicture read = reader.get();
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.png, encode_png(picture));

    // The application's thread is busy elsewhere (no events processed here): closing releases the reader.
    std::future<ClipboardPicture> stuck = std::async(std::launch::async, [&] { return source->read(); });
    source->close();
    ASSERT_EQ(stuck.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(stuck.get().error, "");
    EXPECT_NE(source->read().error, "");
    QApplication::processEvents();
}

class ClipboardUploadTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
        store_settings("alice", "pics", "tok");
    }
    void TearDown() override {
        unsetenv("VELPIC_SERVICE_BASE");
        WindowTest::TearDown();
    }
    CommandOutcome upload(QtCommandDesktop& desktop) {
        return run_command({"--data-dir", dir.path().string(), "upload"}, "", &desktop);
    }
    std::string address(const std::string& bytes, const std::string& extension) const {
        return service.base() + "alice/pics/raw/master/" + md5_hex(bytes) + extension;
    }

    TestService service;
};

TEST_F(ClipboardUploadTest, UploadWithoutFilesSendsTheClipboardsBitmapOrItsFiles) {
    QtCommandDesktop desktop;
    const QImage picture = gradient(16, 9);
    QGuiApplication::clipboard()->setImage(picture);
    const std::string png = encode_png(picture);
    CommandOutcome result = upload(desktop);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, address(png, ".png") + "\n");

    // The same screenshot pasted again is found by its digest, which also names its Markdown image.
    QGuiApplication::clipboard()->setImage(picture.convertToFormat(QImage::Format_ARGB32));
    service.forget_requests();
    EXPECT_EQ(upload(desktop).out, address(png, ".png") + "\n");
    EXPECT_EQ(service.requests().size(), 0u);
    EXPECT_EQ(run_command({"--data-dir", dir.path().string(), "upload", "--format", "markdown"}, "", &desktop).out,
              "![" + md5_hex(png) + "](" + address(png, ".png") + ")\n");

    // Copied files go up as files, one line each, in clipboard order; a file that is no picture fails alone.
    const std::string gif = "GIF89a copied file";
    auto* copied = new QMimeData;
    copied->setUrls({QUrl::fromLocalFile(QString::fromStdString(write_file("复制.gif", gif).string())),
                     QUrl::fromLocalFile(QString::fromStdString(write_file("notes.txt", "text").string()))});
    copied->setImageData(gradient(2, 2)); // a file manager may add a thumbnail; the files win
    QGuiApplication::clipboard()->setMimeData(copied);
    result = upload(desktop);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, address(gif, ".gif") + "\n\n");
    EXPECT_NE(result.err.find("notes.txt: 只能是PNG,JPG,GIF,WEBP格式的图片！"), std::string::npos) << result.err;

    QGuiApplication::clipboard()->clear();
    result = upload(desktop);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "clipboard: 剪贴板中没有图片\n");
}
