// The command line's desktop: a QGuiApplication made only when a command asks for the clipboard, never a window.
#pragma once

#include "cli/command_desktop.h"

#include <memory>
#include <string>

class QGuiApplication;

namespace velpic {

class QtClipboardSource;

class QtCommandDesktop final : public CommandDesktop {
public:
    QtCommandDesktop();
    ~QtCommandDesktop() override;

    std::shared_ptr<ClipboardSource> clipboard(std::string& why) override;
    int run_beside_clipboard(const std::function<int()>& work) override;

private:
    int argc_ = 1;
    char name_[7] = "velpic";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QGuiApplication> application_;
    std::shared_ptr<QtClipboardSource> source_;
};

} // namespace velpic
