// The records page over remembered link statuses, a service that asks for a pause and the rows' tooltips.
#include "window_harness.h"

#include "records/link_status_memory.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QTreeView>
#include <QUrl>
#include <algorithm>

using namespace velpic;
using namespace velpic::test;

namespace {

class LinkStatusWindowTest : public ServiceWindowTest {
protected:
    void SetUp() override {
        ServiceWindowTest::SetUp();
        store_settings("alice", "pics", "tok");
    }

    std::string raw(const std::string& name) const { return service.download_url("alice", "pics", name); }
    std::string raw_path(const std::string& name) const { return "/alice/pics/raw/master/" + name; }
    std::filesystem::path memory_file() const { return link_status_file_path(dir.path()); }

    // A picture the service holds and its record; returns its digest.
    std::string add_picture(int shade) {
        const std::string bytes = png_bytes(3, 3, qRgb(shade, 0, 0));
        const std::string digest = md5_hex(bytes);
        service.put_file("alice", "pics", digest + ".png", bytes);
        EXPECT_TRUE(write_local_record(local_record_file_path(),
                                       UploadRecord{digest, "1638000000000", "", raw(digest + ".png"), ".png"}));
        return digest;
    }
    std::size_t requests_for(const std::string& digest) const {
        return service.count_requests("GET", raw_path(digest + ".png"));
    }

    QTreeView* list() const { return find<QTreeView>("超级列表框1"); }
    QAbstractItemModel* model() const { return list()->model(); }
    QString status(int row) const { return model()->index(row, 4).data().toString(); }
    QString tooltip(int row) const { return model()->index(row, 1).data(Qt::ToolTipRole).toString(); }
    QString progress() const { return find<QLabel>("标签_检测进度")->text(); }
    bool check_done() const {
        if (!progress().isEmpty())
            return false;
        for (int row = 0; row < model()->rowCount(); ++row)
            if (status(row) == QStringLiteral("待检测") || status(row) == QStringLiteral("正在检测..."))
                return false;
        return true;
    }
    void reopen() {
        window.reset(); // saves what the check found
        open_window();
        show_page(2);
    }
};

} // namespace

TEST_F(LinkStatusWindowTest, RecentStatusesShowAtOnceAndOnlyTheOthersAreChecked) {
    const std::string fresh = add_picture(10);
    const std::string never = add_picture(20);
    const std::string old = add_picture(30);
    const std::int64_t now = unix_now();
    LinkStatusMemory memory;
    memory.remember(fresh, utf8_to_gbk(raw(fresh + ".png")), LinkStatus::abnormal, now - 3 * 3600 - 100);
    memory.remember(old, utf8_to_gbk(raw(old + ".png")), LinkStatus::expired, now - 25 * 3600);
    ASSERT_TRUE(memory.save(memory_file()));

    open_window();
    show_page(2);
    // Before any answer: what was found before, with its age.
    EXPECT_EQ(status(0), QStringLiteral("内容异常"));
    EXPECT_TRUE(tooltip(0).contains(QStringLiteral("3小时前检测"))) << tooltip(0).toStdString();
    EXPECT_EQ(status(2), QStringLiteral("已失效"));
    // Each answer repaints its own status cell, not the list.
    int cells = 0, wider = 0;
    QObject::connect(model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex& to) {
        ++cells;
        wider += from != to;
    });
    ASSERT_TRUE(eventually([&] { return check_done(); }));
    EXPECT_GE(cells, 2);
    EXPECT_EQ(wider, 0);
    EXPECT_EQ(requests_for(fresh), 0u);
    EXPECT_EQ(requests_for(never), 1u);
    EXPECT_EQ(requests_for(old), 1u);
    EXPECT_EQ(status(0), QStringLiteral("内容异常")); // as remembered: not asked again
    EXPECT_EQ(status(1), QStringLiteral("有效"));
    EXPECT_EQ(status(2), QStringLiteral("有效"));
    EXPECT_TRUE(tooltip(2).contains(QStringLiteral("刚刚检测")));

    // The next visit asks nothing; 刷新 asks about every link.
    reopen();
    QApplication::processEvents();
    EXPECT_TRUE(check_done());
    EXPECT_EQ(service.count_requests("GET"), 2u);
    EXPECT_EQ(status(1), QStringLiteral("有效"));
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return check_done(); }));
    EXPECT_EQ(service.count_requests("GET"), 5u);
    EXPECT_EQ(status(0), QStringLiteral("有效"));

    // An age limit of 0 hours checks every link on every visit.
    ASSERT_TRUE(write_ini_value(settings_file_path(), utf8_to_gbk("链接检测"), "MaxAgeHours", "0"));
    reopen();
    ASSERT_TRUE(eventually([&] { return check_done(); }));
    EXPECT_EQ(service.count_requests("GET"), 8u);
}

TEST_F(LinkStatusWindowTest, ADamagedStatusFileIsIgnoredAndWrittenAnew) {
    const std::string a = add_picture(40);
    const std::string b = add_picture(50);
    write_file(memory_file().filename().string(), "velpic link statuses 1\n123\tvalid\t" + a + "\tbroken");
    open_window();
    show_page(2);
    EXPECT_EQ(status(0), QStringLiteral("待检测"));
    ASSERT_TRUE(eventually([&] { return check_done(); }));
    EXPECT_EQ(service.count_requests("GET"), 2u);
    window.reset();
    const LinkStatusMemory rewritten = LinkStatusMemory::load(memory_file());
    EXPECT_FALSE(rewritten.damaged());
    EXPECT_EQ(rewritten.size(), 2u);
    ASSERT_NE(rewritten.find(b, utf8_to_gbk(raw(b + ".png"))), nullptr);
    EXPECT_EQ(rewritten.find(b, utf8_to_gbk(raw(b + ".png")))->status, LinkStatus::valid);
}

TEST_F(LinkStatusWindowTest, RowsInViewAreCheckedFirst) {
    std::vector<std::string> digests;
    for (int i = 0; i < 40; ++i)
        digests.push_back(add_picture(60 + i));
    // Every link known: the first visit asks nothing and the list can be scrolled to its end.
    LinkStatusMemory memory;
    for (const std::string& digest : digests)
        memory.remember(digest, utf8_to_gbk(raw(digest + ".png")), LinkStatus::valid, unix_now());
    ASSERT_TRUE(memory.save(memory_file()));
    open_window();
    show_page(2);
    list()->scrollToBottom();
    QApplication::processEvents();
    const int top = list()->indexAt(QPoint(1, 1)).row();
    ASSERT_GT(top, 10);

    service.set_raw_delay(std::chrono::seconds(20)); // the first answers wait: only the first requests go out
    QTest::mouseClick(find("按钮_刷新"), Qt::LeftButton);
    ASSERT_TRUE(service.wait_for_requests(4));
    EXPECT_EQ(list()->indexAt(QPoint(1, 1)).row(), top); // the refresh kept the place
    for (const test::ServiceRequest& request : service.requests()) {
        const auto row =
            std::find_if(digests.begin(), digests.end(),
                         [&](const std::string& digest) { return request.path == raw_path(digest + ".png"); }) -
            digests.begin();
        EXPECT_GE(row, top) << request.path;
    }
    window->close();
    service.set_raw_delay(std::chrono::milliseconds(0));
}

TEST_F(LinkStatusWindowTest, RowsScrolledIntoViewDuringTheCheckGoToTheFrontOfTheQueue) {
    std::vector<std::string> digests;
    for (int i = 0; i < 300; ++i) {
        const std::string bytes = png_bytes(3, 3, qRgb(i & 255, i >> 8, 9));
        digests.push_back(md5_hex(bytes));
        service.put_file("alice", "pics", digests.back() + ".png", bytes);
        ASSERT_TRUE(write_local_record(local_record_file_path(), UploadRecord{digests.back(), "1638000000000", "",
                                                                              raw(digests.back() + ".png"), ".png"}));
    }
    const auto row_of_request = [&](const test::ServiceRequest& request) {
        return static_cast<int>(
            std::find_if(digests.begin(), digests.end(),
                         [&](const std::string& digest) { return request.path == raw_path(digest + ".png"); }) -
            digests.begin());
    };
    open_window();
    show_page(2);
    ASSERT_TRUE(service.wait_for_requests(3));

    // In file order the end of the list would wait for the 280 rows before it, over half a minute at 8 a second.
    list()->scrollToBottom();
    QApplication::processEvents();
    const int top = list()->indexAt(QPoint(1, 1)).row();
    ASSERT_GT(top, 250);
    const std::size_t before = service.requests().size();
    ASSERT_TRUE(eventually([&] {
        for (int row = top; row < 300; ++row)
            if (status(row) != QStringLiteral("有效"))
                return false;
        return true;
    })) << "rows in view still unchecked";
    // Until the last row in view was asked for, other rows only when already taken as the view moved: one per check
    // slot, and those the check keeps aside while their host waits its turn (up to 16). In file order they would be
    // the 280 rows above.
    const std::vector<test::ServiceRequest> requests = service.requests();
    std::size_t last_in_view = before;
    for (std::size_t i = before; i < requests.size(); ++i)
        if (row_of_request(requests[i]) >= top)
            last_in_view = i;
    int others = 0;
    for (std::size_t i = before; i < last_in_view; ++i)
        others += row_of_request(requests[i]) < top ? 1 : 0;
    EXPECT_LE(others, kDefaultLinkCheckJobs + 17);
    window->close();
}

TEST_F(LinkStatusWindowTest, AServiceAskingForAPauseIsShownInTheProgress) {
    const std::string digest = add_picture(70);
    ServiceAnswer busy;
    busy.status = 429;
    busy.headers = {{"Retry-After", "1"}};
    service.preset_answer("GET", raw_path(digest + ".png"), busy);
    open_window();
    show_page(2);
    EXPECT_TRUE(eventually([&] { return progress() == QStringLiteral("检测中 0/1，服务器要求稍候"); }));
    ASSERT_TRUE(eventually([&] { return check_done(); }));
    EXPECT_EQ(status(0), QStringLiteral("有效"));
    EXPECT_EQ(requests_for(digest), 2u);
}

TEST_F(LinkStatusWindowTest, TheTooltipTellsTheUploadTimeAndShowsTheArchivedPicture) {
    const std::string digest = add_picture(80);
    add_picture(90);
    // The archive keeps a picture under its digest's first two digits.
    const std::filesystem::path folder = dir.path() / std::filesystem::path(u8"图片存档") / digest.substr(0, 2);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / (digest + ".png"), std::ios::binary) << png_bytes(300, 150, qRgb(0, 0, 255));
    // A name that is not a digest never reaches outside the archive.
    ASSERT_TRUE(write_local_record(local_record_file_path(),
                                   UploadRecord{"../../../etc", "not a time", "", raw("x.png"), ".png"}));
    open_window();
    show_page(2);

    // 1638000000 s after the wall clock read 1970-01-01 08:00:00.
    const QString uploaded = QStringLiteral("上传时间：2021-11-27 16:00:00");
    EXPECT_TRUE(tooltip(0).contains(uploaded)) << tooltip(0).toStdString();
    EXPECT_TRUE(tooltip(0).contains(QStringLiteral("<img src=\"") +
                                    QUrl::fromLocalFile(QString::fromStdString((folder / (digest + ".png")).string()))
                                        .toString(QUrl::FullyEncoded)))
        << tooltip(0).toStdString();
    EXPECT_TRUE(tooltip(0).contains(QStringLiteral("width=\"96\" height=\"48\""))) << tooltip(0).toStdString();
    EXPECT_TRUE(tooltip(1).startsWith(uploaded)) << tooltip(1).toStdString();
    EXPECT_FALSE(tooltip(1).contains(QStringLiteral("<img")));
    EXPECT_FALSE(tooltip(2).contains(QStringLiteral("<img")));
    EXPECT_FALSE(tooltip(2).contains(QStringLiteral("上传时间")));
}
