// The upload page as people use it every day: pasting, several pictures at once, link formats and large pictures.
#include "window_harness.h"

#include "settings/link_text.h"
#include "desktop/clipboard_reader.h"
#include "desktop/picture_compression.h"
#include "app/ui/picture_box.h"
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "support/test_service.h"
#include "support/test_pictures.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

using namespace velpic;
using namespace velpic::test;

namespace {

class UploadWindowTest : public ServiceWindowTest {
protected:
    void SetUp() override {
        ServiceWindowTest::SetUp();
        store_settings("alice", "pics", "tok");
    }

    QString address(const std::string& bytes, const std::string& extension) const {
        return QString::fromStdString(service.download_url("alice", "pics", md5_hex(bytes) + extension));
    }
    QString path_of(const std::string& name, const std::string& bytes) const {
        return QString::fromStdString(write_file(name, bytes).string());
    }
    void drop(const QStringList& paths) { drop_files(area(), paths); }
    void use_link_format(LinkFormat format) {
        const StateSnapshot now = state.snapshot();
        state.set_groups(now.editor_server, format, now.compress, now.check_referer);
    }
    PictureBox* area() const { return find<PictureBox>("画板1"); }
    QLineEdit* url() const { return find<QLineEdit>("编辑框_url"); }
    std::size_t commits() const { return service.count_requests("POST"); }
};

} // namespace

TEST_F(UploadWindowTest, CtrlVAndTheDropAreasMenuUploadTheClipboardsBitmapOrItsFiles) {
    open_window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    // A screenshot: its PNG bytes, named by their digest; pasted again it is found, not sent.
    const QImage screenshot = detailed_image(40, 30);
    const std::string png = encode_png(screenshot);
    QApplication::clipboard()->setImage(screenshot);
    use_link_format(LinkFormat::markdown);
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    const QString markdown =
        QStringLiteral("![%1](%2)").arg(QString::fromStdString(md5_hex(png)), address(png, ".png"));
    ASSERT_TRUE(eventually([&] { return QApplication::clipboard()->text() == markdown; }))
        << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(url()->text(), address(png, ".png")); // the box always shows the address itself
    EXPECT_EQ(area()->picture().toStdString(), png);
    QApplication::clipboard()->setImage(screenshot);
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(eventually([&] { return QApplication::clipboard()->text() == markdown; }));
    EXPECT_EQ(commits(), 1u);

    // Copied files, through the menu of the drop area: each goes up as a file, the links in clipboard order.
    use_link_format(LinkFormat::url);
    const std::string one = png_bytes(3, 3, qRgb(1, 1, 1)), two = png_bytes(4, 4, qRgb(2, 2, 2));
    auto* copied = new QMimeData;
    copied->setUrls({QUrl::fromLocalFile(path_of("one.png", one)), QUrl::fromLocalFile(path_of("TWO.JPG", two))});
    QApplication::clipboard()->setMimeData(copied);
    QContextMenuEvent right_click(QContextMenuEvent::Mouse, QPoint(30, 30), area()->mapToGlobal(QPoint(30, 30)));
    QApplication::sendEvent(area(), &right_click);
    auto* menu = find<QMenu>("菜单_上传");
    ASSERT_TRUE(menu->isVisible());
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().front()->text(), QStringLiteral("粘贴上传"));
    menu->actions().front()->trigger();
    menu->close();
    const QString both = address(one, ".png") + QLatin1Char('\n') + address(two, ".JPG");
    ASSERT_TRUE(eventually([&] { return QApplication::clipboard()->text() == both; }))
        << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(commits(), 3u);

    // The menu took the focus for a moment.
    window->activateWindow();
    ASSERT_TRUE(eventually([&] { return QApplication::activeWindow() == window.get(); }));
    QApplication::clipboard()->clear();
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(dialogs.messages, QStringList(QStringLiteral("剪贴板中没有图片")));
    // On another page Ctrl+V uploads nothing.
    QApplication::clipboard()->setImage(detailed_image(5, 5));
    show_page(2);
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_EQ(commits(), 3u);
}

TEST_F(UploadWindowTest, SeveralPicturesGoUpInTurnAndTheFailuresAreNamedInOneMessage) {
    service.set_create_delay(std::chrono::milliseconds(150));
    open_window();
    use_link_format(LinkFormat::html);
    const std::string a = png_bytes(5, 5, qRgb(10, 0, 0)), b = png_bytes(6, 6, qRgb(20, 0, 0)),
                      c = png_bytes(7, 7, qRgb(30, 0, 0));
    ServiceAnswer refusal;
    refusal.status = 403;
    refusal.body = R"({"message":"403 Forbidden: no rights"})";
    service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + md5_hex(b) + ".jpg", refusal);
    auto* progress = find<QLabel>("标签_上传进度");
    EXPECT_FALSE(progress->isVisible());

    drop({path_of("a <1>.png", a), path_of("b.jpg", b), path_of("notes.txt", "text"), path_of("c.gif", c)});
    EXPECT_TRUE(
        eventually([&] { return progress->isVisible() && progress->text() == QStringLiteral("正在上传 1/4"); }));
    ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
    EXPECT_EQ(dialogs.messages, QStringList(QStringLiteral("以下图片上传失败：\n"
                                                           "b.jpg：上传失败！[错误原因：没有权限（令牌的权限不足或仓库拒绝写入）"
                                                           "（HTTP 403：403 Forbidden: no rights）]\n"
                                                           "notes.txt：只能是PNG,JPG,GIF,WEBP格式的图片！")));
    EXPECT_TRUE(dialogs.owned.front());
    const QString links = QStringLiteral("<img src=\"%1\" alt=\"a &lt;1&gt;\">\n<img src=\"%2\" alt=\"c\">")
                              .arg(address(a, ".png"), address(c, ".gif"));
    EXPECT_TRUE(eventually([&] { return QApplication::clipboard()->text() == links; }))
        << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(url()->text(), address(c, ".gif"));
    EXPECT_EQ(url()->cursorPosition(), 0); // the start of a long address in view
    EXPECT_FALSE(progress->isVisible());
    // One after another, in file order.
    std::vector<std::string> order;
    for (const ServiceRequest& request : service.requests()) {
        if (request.method == "POST")
            order.push_back(request.path.substr(request.path.rfind('/') + 1));
    }
    EXPECT_EQ(order, (std::vector<std::string>{md5_hex(a) + ".png", md5_hex(b) + ".jpg", md5_hex(c) + ".gif"}));

    // Chosen at once in the dialog, all succeed: no message; a failure last leaves the last address in the box.
    use_link_format(LinkFormat::url);
    const std::string d = png_bytes(8, 8, qRgb(40, 0, 0));
    dialogs.chosen_files = {path_of("d.png", d), path_of("a-again.png", a)};
    QTest::mouseDClick(area(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] {
        return QApplication::clipboard()->text() == address(d, ".png") + QLatin1Char('\n') + address(a, ".png");
    }));
    EXPECT_EQ(dialogs.messages.size(), 1);
    service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + md5_hex(b) + ".png", refusal);
    dialogs.chosen_files = {path_of("d2.png", d), path_of("typed.x?y", d), path_of("b2.png", b)};
    QTest::mouseDClick(area(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 2; }));
    EXPECT_TRUE(dialogs.messages.back().contains(QStringLiteral("typed.x?y：只能是PNG,JPG,GIF,WEBP格式的图片！")))
        << dialogs.messages.back().toStdString();
    EXPECT_TRUE(eventually([&] { return url()->text() == address(d, ".png"); })) << url()->text().toStdString();
}

TEST_F(UploadWindowTest, EachLinkFormatReachesTheClipboardAfterASingleUpload) {
    open_window();
    const std::string bytes = png_bytes(9, 9, qRgb(0, 0, 9));
    const QString path = path_of("my \"cat\".png", bytes);
    const QString plain = address(bytes, ".png");
    const std::pair<LinkFormat, QString> expected[] = {
        {LinkFormat::url, plain},
        {LinkFormat::markdown, QStringLiteral("![my \"cat\"](%1)").arg(plain)},
        {LinkFormat::html, QStringLiteral("<img src=\"%1\" alt=\"my &quot;cat&quot;\">").arg(plain)},
    };
    for (const auto& [format, text] : expected) {
        use_link_format(format);
        QApplication::clipboard()->clear();
        url()->clear();
        drop({path});
        ASSERT_TRUE(eventually([&] { return QApplication::clipboard()->text() == text; }))
            << link_format_name(format) << ": " << QApplication::clipboard()->text().toStdString();
        EXPECT_EQ(url()->text(), plain);
    }
    EXPECT_EQ(commits(), 1u);
}

TEST_F(UploadWindowTest, APictureOver1MbIsUploadedOnlyWhenTheUserSaysSoOrCompressedWhenAsked) {
    open_window();
    const std::string large = uncompressed_png(700, 700);
    ASSERT_GT(large.size(), kLargePictureBytes);
    const QString path = path_of("big.png", large);

    // No: nothing goes, nothing changes.
    drop({path});
    ASSERT_TRUE(eventually([&] { return dialogs.log.size() == 1; }));
    EXPECT_TRUE(dialogs.log.front().startsWith(QStringLiteral("large: “big.png”有 1.4 MB")))
        << dialogs.log.front().toStdString();
    EXPECT_TRUE(dialogs.compress_offered.front());
    // Nothing to wait for: give it a moment to go wrong.
    EXPECT_FALSE(eventually([&] { return commits() > 0; }, 300));

    // Yes: as it is.
    dialogs.large_answers = {{true, false}};
    drop({path});
    ASSERT_TRUE(eventually([&] { return url()->text() == address(large, ".png"); }));
    EXPECT_EQ(dialogs.log.size(), 2);
    // Known now: not asked again (the question would come before the address).
    url()->clear();
    drop({path});
    ASSERT_TRUE(eventually([&] { return url()->text() == address(large, ".png"); }));
    EXPECT_EQ(dialogs.log.size(), 2);

    // Yes with the box ticked: compression is saved and this picture goes compressed, named by what is sent.
    const std::string other = uncompressed_png(700, 701);
    const QString other_path = path_of("other.png", other);
    dialogs.large_answers = {{true, true}};
    drop({other_path});
    const std::string sent = compress_large_picture(other);
    ASSERT_LT(sent.size(), kLargePictureBytes);
    ASSERT_TRUE(eventually([&] { return url()->text() == address(sent, ".png"); })) << url()->text().toStdString();
    EXPECT_EQ(service.file("alice", "pics", md5_hex(sent) + ".png")->bytes, sent);
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("上传选项"), "Compress"), "1");
    EXPECT_TRUE(state.snapshot().compress);

    // With compression on, a picture that ends under 1 MB is not asked about; the same original twice is one upload.
    const std::size_t asked = dialogs.log.size();
    const std::size_t sent_before = commits();
    const QString third = path_of("third.png", uncompressed_png(701, 700));
    drop({third});
    ASSERT_TRUE(eventually([&] { return commits() == sent_before + 1; }));
    url()->clear();
    drop({third});
    const QString third_address = address(compress_large_picture(uncompressed_png(701, 700)), ".png");
    ASSERT_TRUE(eventually([&] { return url()->text() == third_address; }));
    EXPECT_EQ(commits(), sent_before + 1);
    EXPECT_EQ(dialogs.log.size(), asked);

    // What stays over 1 MB is asked about without the offer, compression being on.
    const std::string gif = "GIF89a" + std::string(kLargePictureBytes + 10, 'g');
    dialogs.large_answers = {{true, false}};
    drop({path_of("moving.gif", gif)});
    ASSERT_TRUE(eventually([&] { return url()->text() == address(gif, ".gif"); }));
    EXPECT_EQ(dialogs.log.size(), asked + 1);
    EXPECT_FALSE(dialogs.compress_offered.back());
}
