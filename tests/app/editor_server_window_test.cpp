#include "window_harness.h"

#include "app/ui/ui_text.h"
#include "app/ui/window_upload_server.h"
#include "desktop/clipboard_reader.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "server/upload_server.h"
#include "settings/settings_groups.h"
#include "support/test_service.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeView>
#include <arpa/inet.h>
#include <future>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

using namespace velpic;
using namespace velpic::test;

namespace {

// A loopback port nothing listens on right now.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

class EditorServerWindowTest : public ServiceWindowTest {
protected:
    // Gitee values and the groups, saved through the store as an earlier run would have.
    void store_groups(const SettingsPage& groups) {
        SettingsPage page = groups;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        AppState scratch;
        ASSERT_TRUE(SettingsStore(
                        settings_file_path(), [] { return std::string("77"); }, [](const MysqlSettings&) {})
                        .save(page, false, scratch)
                        .saved);
    }
    // A request made on another thread while this one keeps answering the window's events (the clipboard).
    httplib::Result request(const std::function<httplib::Result(httplib::Client&)>& send, int port) {
        std::future<httplib::Result> reply = std::async(std::launch::async, [&] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30);
            return send(client);
        });
        EXPECT_TRUE(eventually([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return reply.get();
    }
    void save_page() { find<QPushButton>("按钮_保存")->click(); }
};

} // namespace

TEST_F(EditorServerWindowTest, TheSettingsPageScrollsToItsNewGroupsWhichShowAndCheckTheStoredValues) {
    SettingsPage groups;
    groups.server_port = "40005";
    groups.server_key = "k";
    groups.link_format = LinkFormat::markdown;
    groups.compress = true;
    groups.check_referer = "https://blog.example/";
    store_groups(groups);
    open_window();
    show_page(1);
    QApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(416, 407));

    // Below the original controls, at x = 66 and as wide as the other groups.
    const std::pair<const char*, const char*> titled[] = {
        {"分组框_编辑器上传服务", "编辑器上传服务"}, {"分组框_上传选项", "上传选项"}, {"分组框_链接检测", "链接检测"}};
    int bottom = 318; // the record mode group's, in local mode
    for (const auto& [name, title] : titled) {
        auto* group = find<QGroupBox>(name);
        const QRect place(group->mapTo(tabs(), QPoint(0, 0)), group->size());
        EXPECT_EQ(place.x(), 66) << name;
        EXPECT_EQ(place.width(), 288) << name;
        EXPECT_GT(place.y(), bottom) << name;
        bottom = place.bottom();
        EXPECT_EQ(group->title(), QString::fromUtf8(title));
    }
    EXPECT_EQ(find<QCheckBox>("复选框_启用编辑器上传服务")->text(), QStringLiteral("启用编辑器上传服务"));
    EXPECT_EQ(find<QCheckBox>("复选框_压缩")->text(), QStringLiteral("压缩超过1MB的图片"));

    // The stored values are shown; the key like the token.
    EXPECT_FALSE(find<QCheckBox>("复选框_启用编辑器上传服务")->isChecked());
    EXPECT_EQ(find<QLineEdit>("编辑框_服务端口")->text(), QStringLiteral("40005"));
    EXPECT_EQ(find<QLineEdit>("编辑框_服务密钥")->text(), QStringLiteral("k"));
    EXPECT_EQ(find<QLineEdit>("编辑框_服务密钥")->echoMode(), QLineEdit::Password);
    auto* format = find<QComboBox>("组合框_链接格式");
    ASSERT_EQ(format->count(), 3);
    EXPECT_EQ(format->itemText(0), QStringLiteral("地址"));
    EXPECT_EQ(format->itemText(2), QStringLiteral("HTML"));
    EXPECT_EQ(format->currentText(), QStringLiteral("Markdown"));
    EXPECT_TRUE(find<QCheckBox>("复选框_压缩")->isChecked());
    EXPECT_EQ(find<QLineEdit>("编辑框_检测来源页")->text(), QStringLiteral("https://blog.example/"));

    // Hidden below the page until it is scrolled; the original controls move along and come back.
    auto* page = qobject_cast<QScrollArea*>(tabs()->widget(1));
    ASSERT_NE(page, nullptr);
    QWidget* referer = find("编辑框_检测来源页");
    auto in_view = [&](QWidget* widget) {
        return page->viewport()->rect().contains(QRect(widget->mapTo(page->viewport(), QPoint(0, 0)), widget->size()));
    };
    EXPECT_FALSE(in_view(referer));
    EXPECT_FALSE(in_view(find("按钮_保存"))); // it closes the page, below the last group
    page->ensureWidgetVisible(referer);
    EXPECT_TRUE(in_view(referer));
    EXPECT_GT(page->verticalScrollBar()->value(), 0);
    page->verticalScrollBar()->setValue(0);
    QWidget* last = find("分组框_链接检测");
    EXPECT_EQ(QRect(find("按钮_保存")->mapTo(tabs(), QPoint(0, 0)), find("按钮_保存")->size()),
              QRect(220, last->mapTo(tabs(), QPoint(0, last->height())).y() + 8, 72, 23));

    // The page's save checks them, with their messages.
    find<QLineEdit>("编辑框_服务端口")->setText(QStringLiteral("65536"));
    save_page();
    find<QLineEdit>("编辑框_服务端口")->setText(QStringLiteral("40006"));
    find<QLineEdit>("编辑框_检测来源页")->setText(QStringLiteral("blog.example"));
    save_page();
    find<QLineEdit>("编辑框_检测来源页")->clear();
    format->setCurrentIndex(2);
    save_page();
    EXPECT_EQ(dialogs.messages, QStringList({from_gbk(server_port_message()), from_gbk(referer_message()),
                                             QStringLiteral("保存成功！")}));
    const StateSnapshot snapshot = state.snapshot();
    EXPECT_EQ(snapshot.editor_server.port, 40006);
    EXPECT_EQ(snapshot.link_format, LinkFormat::html);
    EXPECT_EQ(snapshot.check_referer, "");
    EXPECT_EQ(window->editor_server_port(), 0); // not turned on
}

TEST_F(EditorServerWindowTest, TheWindowServesEditorsWhileTurnedOnAndSaysOnceWhenThePortIsTaken) {
    const int port = free_port();
    SettingsPage groups;
    groups.server_enabled = true;
    groups.server_port = std::to_string(port);
    store_groups(groups);
    QImage picture(QSize(12, 7), QImage::Format_RGB32);
    picture.fill(qRgb(200, 30, 90));
    QGuiApplication::clipboard()->setImage(picture);

    open_window();
    ASSERT_TRUE(eventually([&] { return window->editor_server_port() == port; }));

    // An empty body uploads the clipboard, which the window's thread reads for the server.
    httplib::Result pasted =
        request([](httplib::Client& c) { return c.Post("/upload", "", "application/json"); }, port);
    ASSERT_TRUE(pasted);
    const std::string address = service.base() + "alice/pics/raw/master/" + md5_hex(encode_png(picture)) + ".png";
    EXPECT_EQ(nlohmann::json::parse(pasted->body, nullptr, false),
              nlohmann::json({{"success", true}, {"result", {address}}}));

    // A key set on the page applies with the save.
    show_page(1);
    find<QLineEdit>("编辑框_服务密钥")->setText(QStringLiteral("k1"));
    save_page();
    httplib::Result refused = request([](httplib::Client& c) { return c.Get("/heartbeat"); }, port);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    httplib::Result alive = request([](httplib::Client& c) { return c.Get("/heartbeat?key=k1"); }, port);
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);

    // Turned off: nothing listens any more.
    show_page(1);
    find<QCheckBox>("复选框_启用编辑器上传服务")->setChecked(false);
    save_page();
    EXPECT_EQ(window->editor_server_port(), 0);
    EXPECT_FALSE(request([](httplib::Client& c) { return c.Get("/heartbeat?key=k1"); }, port));
    EXPECT_EQ(dialogs.messages, QStringList({QStringLiteral("保存成功！"), QStringLiteral("保存成功！")}));

    // Another program holds the port: the window says so once and works on without its server.
    window.reset();
    dialogs.messages.clear();
    ServerOptions taken;
    taken.port = port;
    UploadServer holder(
        taken, [] { return UploadContext(); }, nullptr);
    ASSERT_EQ(holder.start(), "");
    store_groups(groups);
    open_window();
    ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
    show_page(1);
    show_page(0);
    QApplication::processEvents();
    EXPECT_EQ(
        dialogs.messages,
        QStringList(
            {QStringLiteral("编辑器上传服务未能启动：无法在 127.0.0.1:%1 上监听：端口已被其他程序占用").arg(port)}));
    EXPECT_EQ(window->editor_server_port(), 0);
    EXPECT_EQ(request([](httplib::Client& c) { return c.Get("/heartbeat"); }, port)->status, 200); // the holder's
}

TEST_F(EditorServerWindowTest, TheBoxSaysNotRunningWhileTheServerCouldNotStart) {
    const int port = free_port();
    SettingsPage groups;
    groups.server_enabled = true;
    groups.server_port = std::to_string(port);
    store_groups(groups);
    ServerOptions taken;
    taken.port = port;
    auto holder = std::make_unique<UploadServer>(
        taken, [] { return UploadContext(); }, nullptr);
    ASSERT_EQ(holder->start(), "");
    const auto not_running = [&] {
        QLabel* state = find<QLabel>("标签_服务状态");
        return state->isVisibleTo(state->window()) && state->text() == QStringLiteral("未运行");
    };

    open_window();
    ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
    show_page(1);
    EXPECT_TRUE(find<QCheckBox>("复选框_启用编辑器上传服务")->isChecked()); // what the user chose stays
    EXPECT_TRUE(not_running());
    // Unticked, the box says all there is to say.
    find<QCheckBox>("复选框_启用编辑器上传服务")->setChecked(false);
    EXPECT_FALSE(not_running());
    find<QCheckBox>("复选框_启用编辑器上传服务")->setChecked(true);
    EXPECT_TRUE(not_running());

    // Once the port is free, saving starts it and the note goes.
    holder->stop();
    holder.reset();
    save_page();
    ASSERT_EQ(window->editor_server_port(), port);
    show_page(1);
    EXPECT_FALSE(not_running());
}

TEST_F(EditorServerWindowTest, AStoppedServerIsDroppedOnceItHasAnsweredTheRequestsItHeld) {
    store_groups(SettingsPage{});
    open_window(); // reads the settings into state
    QObject target;
    WindowUploadServer servers(state, std::make_shared<UiChannel>(&target));
    EditorServerSettings settings;
    settings.enabled = true;
    settings.port = free_port();
    ASSERT_EQ(servers.apply(settings), "");
    const int first_port = settings.port;

    // Moved to another port while an upload is on its way: the first server answers it, then goes.
    service.set_create_delay(std::chrono::milliseconds(500));
    const std::string picture = png_bytes(5, 5, qRgb(1, 2, 3));
    const std::string body = nlohmann::json{{"list", {write_file("held.png", picture).string()}}}.dump();
    std::future<httplib::Result> held = std::async(std::launch::async, [&] {
        httplib::Client client("127.0.0.1", first_port);
        client.set_read_timeout(30);
        return client.Post("/upload", body, "application/json");
    });
    ASSERT_TRUE(service.wait_for_requests(1));
    settings.port = free_port();
    ASSERT_EQ(servers.apply(settings), "");
    EXPECT_EQ(servers.port(), settings.port);
    EXPECT_EQ(servers.stopping(), 1u);
    ASSERT_TRUE(eventually([&] { return held.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const httplib::Result answered = held.get();
    ASSERT_TRUE(answered);
    EXPECT_EQ(nlohmann::json::parse(answered->body, nullptr, false)["success"], true) << answered->body;
    EXPECT_TRUE(eventually([&] { return servers.stopping() == 0; }));

    // Turned off with nothing in hand, and on and off again: none of them is kept.
    settings.enabled = false;
    servers.apply(settings);
    settings.enabled = true;
    ASSERT_EQ(servers.apply(settings), "");
    settings.enabled = false;
    servers.apply(settings);
    EXPECT_EQ(servers.port(), 0);
    EXPECT_TRUE(eventually([&] { return servers.stopping() == 0; }));
}

TEST_F(EditorServerWindowTest, TheServersUploadsJoinTheRecordsPageWithoutARefresh) {
    const int port = free_port();
    SettingsPage groups;
    groups.server_enabled = true;
    groups.server_port = std::to_string(port);
    store_groups(groups);
    const std::string first = png_bytes(4, 4, qRgb(1, 1, 1)), second = png_bytes(5, 5, qRgb(2, 2, 2));
    open_window();
    ASSERT_TRUE(eventually([&] { return window->editor_server_port() == port; }));
    auto upload = [&](const std::string& name, const std::string& bytes) {
        const std::string body = nlohmann::json{{"list", {write_file(name, bytes).string()}}}.dump();
        httplib::Result answer =
            request([&](httplib::Client& c) { return c.Post("/upload", body, "application/json"); }, port);
        ASSERT_TRUE(answer);
        EXPECT_EQ(nlohmann::json::parse(answer->body, nullptr, false)["success"], true) << answer->body;
    };
    upload("first.png", first);
    show_page(2);
    auto* list = find<QTreeView>("超级列表框1")->model();
    ASSERT_TRUE(eventually([&] { return list->rowCount() == 1; }));

    upload("second.png", second);
    upload("again.png", second); // recorded already: no second row
    ASSERT_TRUE(eventually([&] { return list->rowCount() == 2; }));
    QApplication::processEvents();
    EXPECT_EQ(list->rowCount(), 2);
    EXPECT_EQ(list->index(1, MainWindow::column_digest).data().toString(), QString::fromStdString(md5_hex(second)));
    EXPECT_EQ(list->index(1, MainWindow::column_number).data().toString(), QStringLiteral("2"));
}
