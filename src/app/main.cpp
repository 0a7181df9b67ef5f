#include "settings/app_state.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "settings/settings_store.h"
#include "desktop/display_guard.h"
#include "desktop/qt_command_desktop.h"
#include "app/ui/main_window.h"
#include "app/ui/qt_translations.h"
#include "runtime/program_dir.h"

#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

// "--screenshot-page N PATH": show page N, save the window's picture to PATH and quit (for the docs).
struct ScreenshotRequest {
    int page = -1;
    QString path;
};

ScreenshotRequest take_screenshot_request(int& argc, char** argv) {
    ScreenshotRequest request;
    for (int i = 1; i + 2 < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot-page") != 0)
            continue;
        request.page = std::atoi(argv[i + 1]);
        request.path = QString::fromLocal8Bit(argv[i + 2]);
        for (int j = i; j + 3 <= argc; ++j) // argv[argc] (null) moves down too
            argv[j] = argv[j + 3];
        argc -= 3;
        break;
    }
    return request;
}

} // namespace

int main(int argc, char** argv) {
    velpic::set_program_dir_from_args(argc, argv);
    // A data directory named on the command line or in the environment, or the user's configuration directory
    // of an installed program, may not exist yet; the settings and records written into it must not be lost.
    if (std::error_code error; !velpic::create_program_dir(error))
        std::cerr << "velpic: cannot create the data directory " << velpic::program_dir().string() << ": "
                  << error.message() << "\n";
    if (velpic::is_command_line(argc, argv)) {
        velpic::QtCommandDesktop desktop; // a display only if a command asks for the clipboard
        return velpic::run_command_line(argc, argv, std::cin, std::cout, std::cerr, desktop);
    }

    const ScreenshotRequest screenshot = take_screenshot_request(argc, argv);
    const char* no_window = "velpic: cannot open the window without a display (set DISPLAY or WAYLAND_DISPLAY; "
                            "the command line needs none, see velpic --help)";
    std::string why;
    if (!velpic::display_named(why)) {
        std::cerr << no_window << "\n";
        return 2;
    }
    std::unique_ptr<QApplication> application;
    {
        velpic::DisplayStartGuard guard(no_window);
        application = std::make_unique<QApplication>(argc, argv);
    }
    QGuiApplication::setDesktopFileName(QStringLiteral(VELPIC_APP_ID));
    velpic::install_qt_translations();
    // Qt has taken its own options out; anything left is a misspelt command or option.
    if (argc > 1) {
        std::cerr << "velpic: unknown option \"" << argv[1] << "\"\n\n";
        velpic::print_short_usage(std::cerr);
        return 2;
    }
    QApplication& app = *application;
    velpic::AppState state;
    velpic::MainWindow window(state, velpic::SettingsStore(velpic::settings_file_path()));
    window.show();
    if (screenshot.page >= 0) {
        QTimer::singleShot(300, &window, [&window, screenshot] {
            if (auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("高级选择夹1")))
                tabs->setCurrentIndex(screenshot.page);
            QTimer::singleShot(300, &window, [&window, screenshot] {
                const bool saved = window.grab().save(screenshot.path);
                QApplication::exit(saved ? 0 : 1);
            });
        });
    }
    const int code = app.exec();
    // Workers still waiting on the network end with the process, as closing the window promises; leaving
    // through the static destructors while they run would pull the ground from under them.
    std::fflush(nullptr);
    std::_Exit(code);
}
