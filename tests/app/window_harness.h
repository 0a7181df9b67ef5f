// Shared by the window tests: one QApplication for the process, dialogs that answer from a script and keep a
// log, a private program directory, and a window built on them.
#pragma once

#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "app/ui/dialogs.h"
#include "app/ui/main_window.h"
#include "runtime/program_dir.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <QApplication>
#include <QBuffer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QStringList>
#include <QTabWidget>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

namespace velpic::test {

inline QApplication& application() {
    static int argc = 1;
    static char name[] = "velpic-window-test";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Every question the window asks, in order, as "kind: text" (message boxes add their caption and
// whether they have an owner).
class ScriptedDialogs : public Dialogs {
public:
    void message(QWidget* owner, const QString& text, const QString& caption) override {
        log << QStringLiteral("message: ") + text;
        messages << text;
        captions << caption;
        owned << (owner != nullptr);
    }
    bool ask_yes_no(QWidget*, const QString& text, const QString& caption) override {
        log << QStringLiteral("question: ") + text;
        captions << caption;
        const bool yes = !answers.empty() && answers.front();
        if (!answers.empty())
            answers.pop_front();
        return yes;
    }
    LargePictureAnswer ask_large_picture(QWidget*, const QString& text, bool offer_compress) override {
        log << QStringLiteral("large: ") + text;
        compress_offered << offer_compress;
        const LargePictureAnswer answer = large_answers.empty() ? LargePictureAnswer{} : large_answers.front();
        if (!large_answers.empty())
            large_answers.pop_front();
        return answer;
    }
    QStringList open_files(QWidget*, const QString& filter) override {
        log << QStringLiteral("file dialog");
        filters << filter;
        if (chosen_files.isEmpty() && !chosen_file.isEmpty())
            return {chosen_file};
        return chosen_files;
    }
    void open_url(const QString& url) override {
        log << QStringLiteral("open: ") + url;
        urls << url;
    }

    QStringList log, messages, captions, filters, urls;
    QList<bool> owned;
    std::deque<bool> answers;                     // for ask_yes_no; No when empty
    std::deque<LargePictureAnswer> large_answers; // for ask_large_picture; No when empty
    QList<bool> compress_offered;                 // per large-picture question
    QString chosen_file;                          // empty (and chosen_files empty): the user cancels
    QStringList chosen_files;                     // several chosen at once
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        set_program_dir(dir.path());
        set_dialogs(&dialogs);
    }
    void TearDown() override {
        window.reset();
        set_dialogs(nullptr);
        QApplication::processEvents();
    }

    // The machine code is fixed; tables are made only when real_tables is set (a MySQL server is needed).
    MainWindow& open_window(bool real_tables = false) {
        SettingsStore::TableMaker no_tables = [](const MysqlSettings&) {};
        window = std::make_unique<MainWindow>(state, SettingsStore(
                                                         settings_file_path(), [] { return std::string("77"); },
                                                         real_tables ? SettingsStore::TableMaker() : no_tables));
        window->show();
        return *window;
    }

    template <class T = QWidget> T* find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QTabWidget* tabs() const { return find<QTabWidget>("高级选择夹1"); }
    void show_page(int index) { tabs()->setCurrentIndex(index); }

    // Saves through the store, as a user's earlier run would have.
    void store_settings(const std::string& owner, const std::string& repo, const std::string& token, bool mysql = false,
                        const std::string& port = "3306") {
        AppState scratch;
        SettingsPage page;
        page.owner = owner;
        page.repo = repo;
        page.access_token = token;
        page.server = "127.0.0.1";
        page.port = port;
        page.database_user = "u";
        page.database_password = "p";
        page.database_name = "d";
        SettingsStore(
            settings_file_path(), [] { return std::string("77"); }, [](const MysqlSettings&) {})
            .save(page, mysql, scratch);
    }

    std::filesystem::path write_file(const std::string& name, const std::string& bytes) const {
        const auto path = dir.file(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    TempDir dir;
    ScriptedDialogs dialogs;
    AppState state;
    std::unique_ptr<MainWindow> window;
};

// A window whose requests go to the stand-in of the hosting service.
class ServiceWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(service.running());
        qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
    }
    void TearDown() override {
        WindowTest::TearDown();
        qunsetenv("VELPIC_SERVICE_BASE");
    }

    TestService service;
};

// Files dropped on target through real drag events, as a file manager delivers them.
inline void drop_files(QWidget* target, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    // As a real drag does: the drop goes to the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

inline std::string png_bytes(int width, int height, QRgb color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

// Bounded polling: events keep flowing while waiting, and the test fails rather than hangs.
template <class Predicate> bool eventually(Predicate predicate, int timeout_ms = 15000) {
    return QTest::qWaitFor(predicate, timeout_ms);
}

} // namespace velpic::test
