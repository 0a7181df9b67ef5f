#include "desktop/qt_command_desktop.h"

#include "desktop/display_guard.h"
#include "desktop/qt_clipboard_source.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <thread>

namespace velpic {

QtCommandDesktop::QtCommandDesktop() = default;

QtCommandDesktop::~QtCommandDesktop() {
    // Readers that outlive the command must not wait for an application that is gone.
    if (source_)
        source_->close();
}

std::shared_ptr<ClipboardSource> QtCommandDesktop::clipboard(std::string& why) {
    if (source_)
        return source_;
    if (QGuiApplication::instance() == nullptr) {
        if (!display_named(why))
            return nullptr;
        DisplayStartGuard guard("velpic: cannot connect to the display to read the clipboard; check DISPLAY or "
                                "WAYLAND_DISPLAY, or unset them to go without the clipboard");
        application_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }
    source_ = std::make_shared<QtClipboardSource>();
    return source_;
}

int QtCommandDesktop::run_beside_clipboard(const std::function<int()>& work) {
    if (!source_)
        return work();
    int result = 0;
    std::thread worker([&] {
        result = work();
        // Queued, so that the quit happens inside the loop even when work ends before the loop has started.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    worker.join();
    return result;
}

} // namespace velpic
