// What the command line needs of the desktop: only the clipboard. The program's entry point provides it, so the
// commands themselves never start the window toolkit, and tests can hand in their own.
#pragma once

#include "upload/clipboard_picture.h"

#include <functional>
#include <memory>
#include <string>

namespace velpic {

class CommandDesktop {
public:
    virtual ~CommandDesktop() = default;
    // Connects to the display the first time, on the calling (main) thread. Null and why (UTF-8) when there is
    // no display to connect to.
    virtual std::shared_ptr<ClipboardSource> clipboard(std::string& why) = 0;
    // Runs work on a thread of its own while the calling thread answers the clipboard's readers; returns what work
    // returns. Without a clipboard in use, work runs on the calling thread.
    virtual int run_beside_clipboard(const std::function<int()>& work) = 0;
};

// A machine without a display.
class NoDesktop final : public CommandDesktop {
public:
    std::shared_ptr<ClipboardSource> clipboard(std::string& why) override {
        why = "no display to read the clipboard from";
        return nullptr;
    }
    int run_beside_clipboard(const std::function<int()>& work) override { return work(); }
};

} // namespace velpic
