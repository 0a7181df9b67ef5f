// The window's own requests say why they failed as the command line does: a Chinese reason, then what the other
// side said, shortened, in brackets.
#include "window_harness.h"

#include "records/link_status_memory.h"
#include "records/local_record_file.h"
#include "support/mariadb_server.h"
#include "support/test_service.h"

#include <QLabel>
#include <QLineEdit>
#include <QTreeView>
#include <functional>
#include <string>

using namespace velpic;
using namespace velpic::test;

namespace {

class RequestFailureWindowTest : public ServiceWindowTest {
protected:
    void SetUp() override {
        ServiceWindowTest::SetUp();
        store_settings("alice", "pics", "tok");
    }

    void add_record(const std::string& digest, const std::string& address) {
        write_local_record(local_record_file_path(), UploadRecord{digest, "1638000000000", "", address, ".png"});
    }
    QTreeView* list() const { return find<QTreeView>("超级列表框1"); }
    bool all_checked() const {
        if (!find<QLabel>("标签_检测进度")->text().isEmpty())
            return false;
        for (int row = 0; row < list()->model()->rowCount(); ++row) {
            const QString status = list()->model()->index(row, 4).data().toString();
            if (status == QStringLiteral("待检测") || status == QStringLiteral("正在检测..."))
                return false;
        }
        return true;
    }
    // Opens the records page with the one row of x.png, lets its check end, then asks for its preview.
    void preview(const std::function<void()>& before_preview) {
        std::filesystem::remove(local_record_file_path());
        std::filesystem::remove(link_status_file_path(program_dir()));
        service.put_file("alice", "pics", "x.png", png_bytes(4, 4, qRgb(0, 0, 200)));
        add_record("x", service.download_url("alice", "pics", "x.png"));
        open_window();
        show_page(2);
        ASSERT_TRUE(eventually([&] { return list()->model()->rowCount() == 1 && all_checked(); }));
        before_preview();
        list()->setCurrentIndex(list()->model()->index(0, 0));
        const QPoint center = list()->visualRect(list()->model()->index(0, 0)).center();
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, center);
    }
};

std::string long_error_page() {
    std::string page = "<!DOCTYPE html><html><head><style>p { color: red; }</style></head><body><h1>Bad gateway</h1><p>";
    for (int i = 0; i < 400; ++i)
        page += "the upstream server did not answer in time ";
    return page + "</p></body></html>";
}

} // namespace

TEST_F(RequestFailureWindowTest, FailuresSayTheReasonThenTheOriginalShortenedInBrackets) {
    struct Case {
        const char* name;
        std::function<void()> act;
        const char* head;     // the whole message up to the bracket
        const char* original; // found inside the bracket
        bool cut;             // too long to be shown whole
    };
    const Case cases[] = {
        {"preview, the server answers a long error page",
         [this] {
             preview([this] {
                 ServiceAnswer page;
                 page.status = 502;
                 page.headers = {{"Content-Type", "text/html"}};
                 page.body = long_error_page();
                 service.preset_answer("GET", "/alice/pics/raw/master/x.png", page);
             });
         },
         "预览失败：服务器出错", "HTTP 502：Bad gateway the upstream server", true},
        {"preview, the service gone since the check",
         [this] {
             preview([this] { service.stop(); });
         },
         "预览失败：无法连接到服务器", "127.0.0.1", false},
        {"MySQL test, nobody listening",
         [this] {
             open_window();
             show_page(1);
             QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
             find<QLineEdit>("编辑框_Server")->setText(QStringLiteral("127.0.0.1"));
             find<QLineEdit>("编辑框_Prot")->setText(QString::number(MariaDbServer::unused_port()));
             QTest::mouseClick(find("按钮_测试"), Qt::LeftButton);
         },
         "Error", "127.0.0.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialogs.messages.clear();
        window.reset();
        c.act();
        ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
        const QString said = dialogs.messages.back();
        const QString head = QString::fromUtf8(c.head) + QStringLiteral("（");
        ASSERT_TRUE(said.startsWith(head)) << said.toStdString();
        ASSERT_TRUE(said.endsWith(QStringLiteral("）"))) << said.toStdString();
        const QString original = said.mid(head.size(), said.size() - head.size() - 1);
        EXPECT_TRUE(original.contains(QString::fromUtf8(c.original))) << said.toStdString();
        // One line of the page's words, never its markup, and never the whole of a long text.
        EXPECT_FALSE(original.contains(u'\n') || original.contains(u'<')) << said.toStdString();
        EXPECT_LE(original.size(), 120) << said.toStdString();
        EXPECT_EQ(original.endsWith(QStringLiteral("…")), c.cut) << said.toStdString();
    }
}
