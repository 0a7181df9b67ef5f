#include "window_harness.h"

#include "app/ui/picture_box.h"
#include "records/link_status_memory.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "support/raw_http_server.h"
#include "support/test_service.h"
#include "upload/picture_archive.h"

#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <filesystem>
#include <optional>

using namespace velpic;
using namespace velpic::test;

namespace {

class RecordListTest : public ServiceWindowTest {
protected:
    void SetUp() override {
        ServiceWindowTest::SetUp();
        store_settings("alice", "pics", "tok");
    }

    std::string raw(const std::string& name) const { return service.download_url("alice", "pics", name); }
    std::string raw_path(const std::string& name) const { return "/alice/pics/raw/master/" + name; }

    void add_record(const std::string& digest, const std::string& address, const std::string& type = ".png") {
        write_local_record(local_record_file_path(), UploadRecord{digest, "1638000000000", "", address, type});
    }

    QTreeView* list() const { return find<QTreeView>("超级列表框1"); }
    int rows() const { return list()->model()->rowCount(); }
    QString cell(int row, int column) const { return list()->model()->index(row, column).data().toString(); }
    QString status(int row) const { return cell(row, 4); }
    QPoint row_center(int row) const { return list()->visualRect(list()->model()->index(row, 0)).center(); }
    // Every row has a status and no check is under way.
    bool all_checked() const {
        if (!find<QLabel>("标签_检测进度")->text().isEmpty())
            return false;
        for (int row = 0; row < rows(); ++row) {
            if (status(row) == QStringLiteral("待检测") || status(row) == QStringLiteral("正在检测..."))
                return false;
        }
        return true;
    }
    void select(int row) { list()->setCurrentIndex(list()->model()->index(row, 0)); }
};

} // namespace

TEST_F(RecordListTest, EachKindOfAnswerGivesItsStatusAndAFilledListIsNotReloaded) {
    service.put_file("alice", "pics", "good.png", png_bytes(5, 5, qRgb(0, 200, 0)));
    ServiceAnswer bare_404;
    bare_404.status = 404;
    bare_404.body = "gone";
    service.preset_answer("GET", raw_path("bare.png"), bare_404);
    ServiceAnswer marker_200;
    marker_200.body = "<h1>404 Not Found</h1>";
    service.preset_answer("GET", raw_path("marker.png"), marker_200);
    ServiceAnswer silent;
    silent.no_answer = true;
    service.preset_answer("GET", raw_path("silent.png"), silent);
    ServiceAnswer forbidden;
    forbidden.status = 403;
    forbidden.body = "<html>Forbidden</html>";
    service.preset_answer("GET", raw_path("forbidden.png"), forbidden);
    service.put_file("alice", "pics", "junk.png", "this is not a picture");
    add_record("good", raw("good.png"));
    add_record("missing", raw("missing.gif"), ".gif");
    add_record("bare", raw("bare.png"));
    add_record("marker", raw("marker.png"));
    add_record("silent", raw("silent.png"));
    add_record("forbidden", raw("forbidden.png"));
    add_record("junk", raw("junk.png"));

    open_window();
    show_page(2);
    ASSERT_EQ(rows(), 7);
    EXPECT_EQ(cell(0, 0), QStringLiteral("1"));
    EXPECT_EQ(cell(0, 1), QStringLiteral("good"));
    EXPECT_EQ(cell(0, 2), QStringLiteral(".png"));
    EXPECT_EQ(cell(0, 3), QString::fromStdString(raw("good.png")));
    EXPECT_EQ(cell(1, 2), QStringLiteral(".gif"));
    EXPECT_EQ(cell(4, 0), QStringLiteral("5"));

    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    EXPECT_EQ(status(0), QStringLiteral("有效"));
    EXPECT_EQ(status(1), QStringLiteral("已失效"));   // the service's not-found page carries the marker
    EXPECT_EQ(status(2), QStringLiteral("已失效"));   // 404 without the marker
    EXPECT_EQ(status(3), QStringLiteral("已失效"));   // the marker in a 200 answer
    EXPECT_EQ(status(4), QStringLiteral("检测失败")); // no answer at all
    EXPECT_EQ(status(5), QStringLiteral("内容异常")); // an answer, but not the picture
    EXPECT_EQ(status(6), QStringLiteral("内容异常"));
    EXPECT_TRUE(find<QLabel>("标签_检测进度")->text().isEmpty());

    // Each address was asked for once.
    for (const char* name : {"good.png", "missing.gif", "bare.png", "marker.png", "silent.png", "forbidden.png"})
        EXPECT_EQ(service.count_requests("GET", raw_path(name)), 1u) << name;

    show_page(0);
    show_page(2);
    QApplication::processEvents();
    EXPECT_EQ(service.count_requests("GET"), 7u);
    EXPECT_EQ(rows(), 7);
    EXPECT_EQ(status(0), QStringLiteral("有效"));
}

TEST_F(RecordListTest, AnEmptyListIsLoadedOnEveryVisitAndMysqlWithoutSettingsStaysEmpty) {
    open_window();
    show_page(2);
    EXPECT_EQ(rows(), 0);
    add_record("x", raw("x.png"));
    show_page(0);
    show_page(2);
    EXPECT_EQ(rows(), 1);

    // The radio button decides the store; MySQL settings never loaded give no rows and no message.
    show_page(1);
    find<QRadioButton>("单选框_记录方式_MySQL")->setChecked(true);
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(RecordListTest, ChecksRunSideBySideShowTheirProgressAndStopOnRefreshAndOnClose) {
    // Raw files answer only when the test lets them; the first row's answer comes at once.
    service.set_raw_delay(std::chrono::seconds(20));
    ServiceAnswer gone;
    gone.status = 404;
    service.preset_answer("GET", raw_path("old-0.png"), gone);
    for (int i = 0; i < 6; ++i) {
        const std::string name = "old-" + std::to_string(i) + ".png";
        service.put_file("alice", "pics", name, png_bytes(2, 2, qRgb(9, 9, 9)));
        add_record("old-" + std::to_string(i), raw(name));
    }
    open_window();
    show_page(2);
    auto* progress = find<QLabel>("标签_检测进度");

    // Four checks at once: the first is done, the next four wait for the service, the last waits its turn.
    ASSERT_TRUE(service.wait_for_requests(5));
    ASSERT_TRUE(eventually([&] { return status(4) == QStringLiteral("正在检测..."); }));
    EXPECT_EQ(status(0), QStringLiteral("已失效"));
    for (int row = 1; row <= 4; ++row)
        EXPECT_EQ(status(row), QStringLiteral("正在检测...")) << row;
    EXPECT_EQ(status(5), QStringLiteral("待检测"));
    EXPECT_EQ(progress->text(), QStringLiteral("检测中 1/6"));

    // A refresh stops that check: its waiting answers, once let go, start nothing more, and the rows show the
    // new load's statuses only.
    remove_all_local_records(local_record_file_path());
    for (const char* name : {"new-a.png", "new-b.png", "new-c.png"}) {
        service.put_file("alice", "pics", name, png_bytes(2, 2, qRgb(1, 1, 1)));
        add_record(std::string(name).substr(0, 5), raw(name));
    }
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    EXPECT_EQ(progress->text(), QStringLiteral("检测中 0/3"));
    service.set_raw_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(status(row), QStringLiteral("有效")) << row;
    EXPECT_EQ(cell(0, 1), QStringLiteral("new-a"));
    EXPECT_TRUE(progress->text().isEmpty());
    // Nothing is sent for the old load after its stop; there is no event to wait for, so give it a moment.
    EXPECT_FALSE(eventually([&] { return service.count_requests("GET", raw_path("old-5.png")) > 0; }, 1000));

    // Closing the window stops a check the same way.
    service.set_raw_delay(std::chrono::seconds(20));
    for (int i = 0; i < 3; ++i)
        add_record("old-" + std::to_string(i + 1), raw("old-" + std::to_string(i + 1) + ".png"));
    const std::size_t before = service.requests().size();
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    ASSERT_EQ(rows(), 6);
    ASSERT_TRUE(service.wait_for_requests(before + 4));
    window->close();
    service.set_raw_delay(std::chrono::milliseconds(0));
    EXPECT_FALSE(eventually([&] { return service.requests().size() > before + 4; }, 1000));
}

TEST_F(RecordListTest, TheDeepCheckBoxAndTheSavedRefererShapeTheNextCheck) {
    // A picture of the right type whose bytes are not the recorded ones.
    const std::string recorded = md5_hex(png_bytes(4, 4, qRgb(0, 0, 200)));
    service.put_file("alice", "pics", recorded + ".png", png_bytes(4, 4, qRgb(200, 0, 0)));
    add_record(recorded, raw(recorded + ".png"));
    open_window();
    show_page(2);
    auto* deep = find<QCheckBox>("选择框_深度检测");
    EXPECT_FALSE(deep->isChecked());
    EXPECT_EQ(deep->text(), QStringLiteral("深度检测"));
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    EXPECT_EQ(status(0), QStringLiteral("有效"));

    // Ticking the box checks the list again, deeply.
    QTest::mouseClick(deep, Qt::LeftButton, {}, QPoint(5, deep->height() / 2));
    ASSERT_TRUE(deep->isChecked());
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    EXPECT_EQ(status(0), QStringLiteral("内容异常"));
    EXPECT_FALSE(service.requests().back().has_header("Range"));
    EXPECT_EQ(service.count_requests("GET"), 2u);

    // Visitors of the blog saved on the settings page get the service's icon instead.
    service.set_icon_for_foreign_referer(true);
    show_page(1);
    find<QLineEdit>("编辑框_检测来源页")->setText(QStringLiteral("https://blog.example/"));
    QTest::mouseClick(find("按钮_保存"), Qt::LeftButton);
    ASSERT_EQ(dialogs.messages.back(), QStringLiteral("保存成功！"));
    show_page(2);
    deep->setChecked(false);
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    EXPECT_EQ(status(0), QStringLiteral("内容异常"));
    EXPECT_EQ(service.requests().back().header("Referer"), "https://blog.example/");
}

TEST_F(RecordListTest, PreviewShowsThePictureRefusesExpiredRowsAndSurvivesGarbage) {
    service.put_file("alice", "pics", "good.png", png_bytes(300, 200, qRgb(0, 0, 200)));
    service.put_file("alice", "pics", "junk.png", "this is not a picture");
    add_record("good", raw("good.png"));
    add_record("missing", raw("missing.png"));
    add_record("junk", raw("junk.png"));
    open_window();
    show_page(2);
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    auto* preview = find<PictureBox>("图片框_预览");
    auto* close = find("按钮_预览_关闭");

    select(1);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, row_center(1));
    EXPECT_EQ(dialogs.messages, QStringList({QStringLiteral("链接已失效")}));
    const std::size_t gets = service.count_requests("GET");

    select(0);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, row_center(0));
    ASSERT_TRUE(eventually([&] { return preview->isVisible(); }));
    EXPECT_TRUE(close->isVisible());
    EXPECT_TRUE(preview->has_image());
    EXPECT_EQ(service.count_requests("GET"), gets + 1);
    EXPECT_LE(preview->pixmap().width(), 144);
    EXPECT_TRUE(preview->geometry().contains(close->geometry()));

    // The open box follows the selection: another row shows its picture, an expired one closes it.
    select(2);
    ASSERT_TRUE(eventually([&] { return preview->picture() == QByteArray("this is not a picture"); }));
    EXPECT_TRUE(preview->isVisible());
    select(1);
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(close->isVisible());
    EXPECT_EQ(dialogs.messages.size(), 1); // no second 链接已失效 for merely moving over the row
    select(0);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, row_center(0));
    ASSERT_TRUE(eventually([&] { return preview->isVisible() && preview->has_image(); }));

    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(close->isVisible());

    select(2);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, row_center(2));
    ASSERT_TRUE(eventually([&] { return preview->isVisible(); }));
    EXPECT_FALSE(preview->has_image());
    EXPECT_EQ(preview->picture(), QByteArray("this is not a picture"));

    // A refresh hides the box again.
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(close->isVisible());
}

TEST_F(RecordListTest, TheMenuAppearsOnlyOverASelectedRowAndCopiesTheAddress) {
    add_record("0123456789abcdef0123456789abcdef", raw("0123456789abcdef0123456789abcdef.png"));
    open_window();
    show_page(2);
    auto* menu = find<QMenu>("菜单");
    auto right_click = [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(50, 50),
                                list()->viewport()->mapToGlobal(QPoint(50, 50)));
        QApplication::sendEvent(list()->viewport(), &event);
    };
    right_click();
    EXPECT_FALSE(menu->isVisible());

    select(0);
    right_click();
    EXPECT_TRUE(menu->isVisible());
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_EQ(menu->actions().front()->text(), QStringLiteral("复制图片链接"));
    EXPECT_EQ(menu->actions()[1]->text(), QStringLiteral("删除图片"));
    EXPECT_FALSE(menu->actions()[2]->isVisible()) << "恢复图片 is for 已失效 rows only";
    EXPECT_TRUE(find<QLabel>("标签_复制提示")->text().isEmpty());
    menu->actions().front()->trigger();
    menu->close();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(raw("0123456789abcdef0123456789abcdef.png")));
    EXPECT_EQ(find<QLabel>("标签_复制提示")->text(), QStringLiteral("已复制"));
    // It goes by itself.
    EXPECT_TRUE(eventually([&] { return find<QLabel>("标签_复制提示")->text().isEmpty(); }, 5000));
}

TEST_F(RecordListTest, RecordsThatCannotBeRemovedAfterAClearAreReported) {
    // Records left behind would hand out addresses of files that are gone, so the user must hear of them.
    RefusingPort unreachable;
    store_settings("alice", "pics", "tok", true, std::to_string(unreachable.port()));
    open_window();
    show_page(1);
    QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
    dialogs.answers = {true};
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() >= 2; }));
    EXPECT_EQ(service.count_requests("PUT", "/api/v5/repos/alice/pics/clear"), 1u);
    EXPECT_EQ(dialogs.messages[dialogs.messages.size() - 2], QStringLiteral("清空成功！请手动进行仓库初始化！"));
    EXPECT_TRUE(dialogs.messages.back().startsWith(QStringLiteral("但记录删除失败！")));
}

TEST_F(RecordListTest, ClearingAsksFirstThenEmptiesStoreAndListAndOpensTheRepositoryOnce) {
    service.put_file("alice", "pics", "a.png", "x");
    add_record("a", raw("a.png"));
    open_window();
    show_page(2);
    ASSERT_TRUE(eventually([&] { return all_checked(); }));

    dialogs.answers = {false};
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    EXPECT_EQ(service.count_requests("PUT"), 0u);
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(dialogs.captions.back(), QStringLiteral("操作"));
    EXPECT_TRUE(std::filesystem::exists(local_record_file_path()));

    dialogs.answers = {true};
    dialogs.log.clear();
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.log.size() == 3; })) << dialogs.log.join(u'\n').toStdString();
    EXPECT_EQ(service.count_requests("PUT", "/api/v5/repos/alice/pics/clear"), 1u);
    EXPECT_EQ(service.file_count("alice", "pics"), 0u);
    EXPECT_FALSE(std::filesystem::exists(local_record_file_path()));
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(dialogs.log, QStringList({QStringLiteral("question: 请确定是否清空仓库？(该操作不可恢复，请谨慎操作！)"),
                                        QStringLiteral("message: 清空成功！请手动进行仓库初始化！"),
                                        QStringLiteral("open: ") + QString::fromStdString(service.base()) +
                                            QStringLiteral("alice/pics")}));

    // A refused clear changes nothing.
    add_record("b", raw("b.png"));
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    service.set_clear_mode(TestService::ClearMode::unauthorized);
    dialogs.answers = {true};
    const qsizetype told = dialogs.messages.size();
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() > told; }));
    // The reason comes with the fixed text.
    EXPECT_TRUE(dialogs.messages.back().startsWith(QStringLiteral("清空失败：")))
        << dialogs.messages.back().toStdString();
    EXPECT_EQ(rows(), 1);
    EXPECT_TRUE(std::filesystem::exists(local_record_file_path()));
}

TEST_F(RecordListTest, CopyingARowsLinkFollowsTheLinkFormatNamedByTheDigest) {
    const std::string digest = "0123456789abcdef0123456789abcdef";
    add_record(digest, raw(digest + ".png"));
    open_window();
    show_page(2);
    select(0);
    QAction* copy = find<QMenu>("菜单")->actions().front();
    const QString address = QString::fromStdString(raw(digest + ".png"));
    const std::pair<LinkFormat, QString> expected[] = {
        {LinkFormat::markdown, QStringLiteral("![%1](%2)").arg(QString::fromStdString(digest), address)},
        {LinkFormat::html, QStringLiteral("<img src=\"%2\" alt=\"%1\">").arg(QString::fromStdString(digest), address)},
        {LinkFormat::url, address},
    };
    for (const auto& [format, text] : expected) {
        state.set_groups(state.snapshot().editor_server, format, false, "");
        copy->trigger();
        EXPECT_EQ(QApplication::clipboard()->text(), text) << link_format_name(format);
    }
}

TEST_F(RecordListTest, MysqlWorkRunsBesideTheWindowAndItsButtonWaitsForIt) {
    // A MySQL server that takes the connection and never answers: each operation waits for it until the test
    // lets it go, and the window must keep going meanwhile.
    SilentPort hung;
    store_settings("alice", "pics", "tok", true, std::to_string(hung.port()));
    open_window();
    show_page(1);
    auto* test = find<QPushButton>("按钮_测试");
    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_FALSE(test->isEnabled());
    QTest::mouseClick(test, Qt::LeftButton); // not a second test

    show_page(2);
    auto* refresh = find<QPushButton>("按钮_刷新");
    EXPECT_FALSE(refresh->isEnabled());
    auto* clear = find<QPushButton>("按钮_清空");
    dialogs.answers = {true, true};
    QTest::mouseClick(clear, Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return service.count_requests("PUT") == 1u; }));
    EXPECT_FALSE(clear->isEnabled());
    QTest::mouseClick(clear, Qt::LeftButton); // not asked again while the first runs

    // Events keep flowing while all three wait, and none of them has ended.
    bool ticked = false;
    QTimer::singleShot(20, window.get(), [&] { ticked = true; });
    EXPECT_TRUE(eventually([&] { return ticked; }));
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(dialogs.log.size(), 1); // the one question

    hung.close();
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 3; })) << dialogs.log.join(u'\n').toStdString();
    EXPECT_TRUE(std::any_of(dialogs.messages.begin(), dialogs.messages.end(),
                            [](const QString& text) { return text.startsWith(QStringLiteral("Error")); }));
    EXPECT_TRUE(dialogs.messages.contains(QStringLiteral("清空成功！请手动进行仓库初始化！")));
    EXPECT_TRUE(std::any_of(dialogs.messages.begin(), dialogs.messages.end(),
                            [](const QString& text) { return text.startsWith(QStringLiteral("但记录删除失败！")); }));
    EXPECT_TRUE(eventually([&] { return test->isEnabled() && refresh->isEnabled() && clear->isEnabled(); }));
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(service.count_requests("PUT"), 1u);
}

TEST_F(RecordListTest, DeleteAsksFirstAndRestoreBringsBackAnExpiredRow) {
    const std::string kept = png_bytes(4, 4, qRgb(1, 2, 3)), doomed = png_bytes(5, 5, qRgb(4, 5, 6));
    for (const std::string* bytes : {&kept, &doomed}) {
        const std::string digest = md5_hex(*bytes);
        service.put_file("alice", "pics", digest + ".png", *bytes);
        add_record(digest, raw(digest + ".png"));
        ASSERT_EQ(keep_archive_copy(program_dir(), digest, ".png", *bytes), "");
    }
    service.lose_file("alice", "pics", md5_hex(kept) + ".png");
    open_window();
    show_page(2);
    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    ASSERT_EQ(status(0), QStringLiteral("已失效"));
    auto* menu = find<QMenu>("菜单");
    auto right_click = [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), list()->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(list()->viewport(), &event);
        menu->close();
    };

    // Restore is offered for the 已失效 row only; the row is 有效 after it, at the same address.
    select(1);
    right_click();
    EXPECT_FALSE(menu->actions()[2]->isVisible());
    select(0);
    right_click();
    ASSERT_TRUE(menu->actions()[2]->isVisible());
    menu->actions()[2]->trigger();
    ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
    EXPECT_TRUE(dialogs.messages.back().startsWith(QStringLiteral("已恢复：")))
        << dialogs.messages.back().toStdString();
    EXPECT_EQ(status(0), QStringLiteral("有效"));
    EXPECT_EQ(service.file("alice", "pics", md5_hex(kept) + ".png")->bytes, kept);
    // The status file says so at once, while the window is still open.
    const auto remembered = [&](const std::string& digest) -> std::optional<LinkStatus> {
        const LinkStatusMemory memory = LinkStatusMemory::load(link_status_file_path(program_dir()));
        const RememberedLink* link = memory.find(digest, utf8_to_gbk(raw(digest + ".png")));
        return link ? std::optional<LinkStatus>(link->status) : std::nullopt;
    };
    EXPECT_EQ(remembered(md5_hex(kept)), LinkStatus::valid);
    // The check's own save, made beside the window, is in the file before the delete.
    ASSERT_TRUE(eventually([&] { return remembered(md5_hex(doomed)) == LinkStatus::valid; }));

    // Delete asks first; No (what Enter gives) leaves everything.
    select(1);
    dialogs.answers = {false};
    menu->actions()[1]->trigger();
    ASSERT_EQ(dialogs.log.back().left(10), QStringLiteral("question: "));
    QApplication::processEvents();
    EXPECT_EQ(list()->model()->rowCount(), 2);
    EXPECT_TRUE(service.file("alice", "pics", md5_hex(doomed) + ".png"));

    dialogs.answers = {true};
    const auto told = dialogs.messages.size();
    menu->actions()[1]->trigger();
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() > told; }));
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("已删除仓库中的文件、记录、本地存档"));
    EXPECT_EQ(list()->model()->rowCount(), 1);
    EXPECT_FALSE(service.file("alice", "pics", md5_hex(doomed) + ".png"));
    EXPECT_FALSE(find_local_record(local_record_file_path(), md5_hex(doomed)));
    // Nothing of it stays in the program directory: no status line, no emptied archive folder.
    EXPECT_EQ(remembered(md5_hex(doomed)), std::nullopt);
    EXPECT_EQ(remembered(md5_hex(kept)), LinkStatus::valid);
    const std::filesystem::path archive = program_dir() / std::filesystem::path(u8"图片存档");
    EXPECT_EQ(std::filesystem::exists(archive / md5_hex(doomed).substr(0, 2)),
              md5_hex(doomed).substr(0, 2) == md5_hex(kept).substr(0, 2));
    EXPECT_TRUE(std::filesystem::exists(archive / md5_hex(kept).substr(0, 2)));
}
