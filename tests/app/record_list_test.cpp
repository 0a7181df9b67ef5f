#include "window_harness.h"

#include "app/ui/picture_box.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "support/raw_http_server.h"
#include "support/test_service.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QRadioButton>
#include <QTreeWidget>

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace velpic;
using namespace velpic::test;

namespace {

class RecordListTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(service.running());
        qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
        store_settings("alice", "pics", "tok");
    }
    void TearDown() override {
        WindowTest::TearDown();
        qunsetenv("VELPIC_SERVICE_BASE");
    }

    std::string raw(const std::string& name) const { return service.download_url("alice", "pics", name); }
    std::string raw_path(const std::string& name) const { return "/alice/pics/raw/master/" + name; }

    void add_record(const std::string& digest, const std::string& address, const std::string& type = ".png") {
        write_local_record(local_record_file_path(), UploadRecord{digest, "1638000000000", "", address, type});
    }

    QTreeWidget* list() const { return find<QTreeWidget>("超级列表框1"); }
    QString status(int row) const { return list()->topLevelItem(row)->text(4); }
    bool all_checked() const {
        for (int row = 0; row < list()->topLevelItemCount(); ++row) {
            if (status(row) == QStringLiteral("待检测") || status(row) == QStringLiteral("正在检测..."))
                return false;
        }
        return true;
    }
    void select(int row) { list()->setCurrentItem(list()->topLevelItem(row)); }

    TestService service;
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
    add_record("good", raw("good.png"));
    add_record("missing", raw("missing.gif"), ".gif");
    add_record("bare", raw("bare.png"));
    add_record("marker", raw("marker.png"));
    add_record("silent", raw("silent.png"));

    open_window();
    show_page(2);
    ASSERT_EQ(list()->topLevelItemCount(), 5);
    auto* first = list()->topLevelItem(0);
    EXPECT_EQ(first->text(0), QStringLiteral("1"));
    EXPECT_EQ(first->text(1), QStringLiteral("good"));
    EXPECT_EQ(first->text(2), QStringLiteral(".png"));
    EXPECT_EQ(first->text(3), QString::fromStdString(raw("good.png")));
    EXPECT_EQ(list()->topLevelItem(1)->text(2), QStringLiteral(".gif"));
    EXPECT_EQ(list()->topLevelItem(4)->text(0), QStringLiteral("5"));

    ASSERT_TRUE(eventually([&] { return all_checked(); }));
    EXPECT_EQ(status(0), QStringLiteral("有效"));
    EXPECT_EQ(status(1), QStringLiteral("已失效"));   // the service's not-found page carries the marker
    EXPECT_EQ(status(2), QStringLiteral("已失效"));   // 404 without the marker
    EXPECT_EQ(status(3), QStringLiteral("已失效"));   // the marker in a 200 answer
    EXPECT_EQ(status(4), QStringLiteral("检测失败")); // no answer at all

    // The checks went out one after another, in row order.
    std::vector<std::string> paths;
    for (const ServiceRequest& request : service.requests())
        paths.push_back(request.path);
    EXPECT_EQ(paths, (std::vector<std::string>{raw_path("good.png"), raw_path("missing.gif"), raw_path("bare.png"),
                                               raw_path("marker.png"), raw_path("silent.png")}));

    show_page(0);
    show_page(2);
    QApplication::processEvents();
    EXPECT_EQ(service.count_requests("GET"), 5u);
    EXPECT_EQ(list()->topLevelItemCount(), 5);
    EXPECT_EQ(status(0), QStringLiteral("有效"));
}

TEST_F(RecordListTest, AnEmptyListIsLoadedOnEveryVisitAndMysqlWithoutSettingsStaysEmpty) {
    open_window();
    show_page(2);
    EXPECT_EQ(list()->topLevelItemCount(), 0);
    add_record("x", raw("x.png"));
    show_page(0);
    show_page(2);
    EXPECT_EQ(list()->topLevelItemCount(), 1);

    // The radio button decides the store; MySQL settings never loaded give no rows and no message.
    show_page(1);
    find<QRadioButton>("单选框_记录方式_MySQL")->setChecked(true);
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    EXPECT_EQ(list()->topLevelItemCount(), 0);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(RecordListTest, ARefreshDuringACheckDiscardsTheOldCheckWrites) {
    // A server whose only answer waits until the test lets it go, so the first check is still running
    // when the list is refreshed.
    httplib::Server slow;
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false, released = false;
    slow.Get("/slow.png", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex);
        asked = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
        response.status = 404;
        response.set_content("404 Not Found", "text/html");
    });
    const int port = slow.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread server([&] { slow.listen_after_bind(); });
    auto release = [&] {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    };
    struct Stop {
        std::function<void()> fn;
        ~Stop() { fn(); }
    } stop{[&] {
        release();
        slow.stop();
        server.join();
    }};

    add_record("slow", "http://127.0.0.1:" + std::to_string(port) + "/slow.png");
    add_record("missing-a", raw("missing-a.png"));
    add_record("missing-b", raw("missing-b.png"));
    open_window();
    show_page(2);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(15), [&] { return asked; }));
    }
    // The first row is being checked; the others wait their turn.
    ASSERT_TRUE(eventually([&] { return status(0) == QStringLiteral("正在检测..."); }));
    EXPECT_EQ(status(1), QStringLiteral("待检测"));
    EXPECT_EQ(status(2), QStringLiteral("待检测"));

    for (const char* name : {"new-a.png", "new-b.png", "new-c.png"})
        service.put_file("alice", "pics", name, png_bytes(2, 2, qRgb(1, 1, 1)));
    remove_all_local_records(local_record_file_path());
    add_record("new-a", raw("new-a.png"));
    add_record("new-b", raw("new-b.png"));
    add_record("new-c", raw("new-c.png"));
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return all_checked(); }));

    // The old check now ends its first row and goes on with the next two; once the service has seen its
    // last request, its writes for the first two rows are queued, and delivering them must change nothing.
    release();
    ASSERT_TRUE(service.wait_for_requests(5));
    ASSERT_TRUE(eventually([&] { return service.count_requests("GET", raw_path("missing-b.png")) == 1; }));
    QApplication::processEvents();
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(status(row), QStringLiteral("有效")) << row;
    EXPECT_EQ(list()->topLevelItem(0)->text(1), QStringLiteral("new-a"));
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
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {},
                       list()->visualItemRect(list()->topLevelItem(1)).center());
    EXPECT_EQ(dialogs.messages, QStringList({QStringLiteral("链接已失效")}));
    const std::size_t gets = service.count_requests("GET");

    select(0);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {},
                       list()->visualItemRect(list()->topLevelItem(0)).center());
    ASSERT_TRUE(eventually([&] { return preview->isVisible(); }));
    EXPECT_TRUE(close->isVisible());
    EXPECT_TRUE(preview->has_image());
    EXPECT_EQ(service.count_requests("GET"), gets + 1);
    EXPECT_LE(preview->pixmap().width(), 144);

    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(close->isVisible());

    select(2);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {},
                       list()->visualItemRect(list()->topLevelItem(2)).center());
    ASSERT_TRUE(eventually([&] { return preview->isVisible(); }));
    EXPECT_FALSE(preview->has_image());
    EXPECT_EQ(preview->picture(), QByteArray("this is not a picture"));

    // A refresh hides the box again.
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(close->isVisible());
}

TEST_F(RecordListTest, TheMenuAppearsOnlyOverASelectedRowAndCopiesTheAddress) {
    add_record("a", raw("a.png"));
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
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().front()->text(), QStringLiteral("复制图片链接"));
    menu->actions().front()->trigger();
    menu->close();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(raw("a.png")));
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
    EXPECT_EQ(service.count_requests("PUT", "/api/v5/repos/alice/pics/clear"), 1u);
    ASSERT_GE(dialogs.messages.size(), 2);
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
    EXPECT_EQ(list()->topLevelItemCount(), 1);
    EXPECT_EQ(dialogs.captions.back(), QStringLiteral("操作"));
    EXPECT_TRUE(std::filesystem::exists(local_record_file_path()));

    dialogs.answers = {true};
    dialogs.log.clear();
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    EXPECT_EQ(service.count_requests("PUT", "/api/v5/repos/alice/pics/clear"), 1u);
    EXPECT_EQ(service.file_count("alice", "pics"), 0u);
    EXPECT_FALSE(std::filesystem::exists(local_record_file_path()));
    EXPECT_EQ(list()->topLevelItemCount(), 0);
    EXPECT_EQ(dialogs.log, QStringList({QStringLiteral("question: 请确定是否清空仓库？(该操作不可恢复，请谨慎操作！)"),
                                        QStringLiteral("message: 清空成功！请手动进行仓库初始化！"),
                                        QStringLiteral("open: ") + QString::fromStdString(service.base()) +
                                            QStringLiteral("alice/pics")}));

    // A refused clear changes nothing.
    add_record("b", raw("b.png"));
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    service.set_clear_mode(TestService::ClearMode::unauthorized);
    dialogs.answers = {true};
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("清空失败"));
    EXPECT_EQ(list()->topLevelItemCount(), 1);
    EXPECT_TRUE(std::filesystem::exists(local_record_file_path()));
}
