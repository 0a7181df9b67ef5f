// The editors' upload server while the window is open, as the settings page turns it on: the same server as
// `velpic serve`, reading the clipboard through the window's application.
#pragma once

#include "app/core/app_state.h"

#include <memory>
#include <string>
#include <vector>

namespace velpic {

class QtClipboardSource;
class UploadServer;

class WindowUploadServer {
public:
    // Made on the window's thread.
    explicit WindowUploadServer(AppState& state);
    // Waits for the requests in hand; readers of the clipboard give up first, since the window's thread is the
    // one that would answer them.
    ~WindowUploadServer();
    WindowUploadServer(const WindowUploadServer&) = delete;
    WindowUploadServer& operator=(const WindowUploadServer&) = delete;

    // Starts, restarts (another port or key) or stops the server as settings say. Why it could not start
    // (UTF-8), or empty; it is then off until the next apply.
    std::string apply(const EditorServerSettings& settings);
    // The port served, 0 when off.
    int port() const;

private:
    void retire();

    AppState& state_;
    std::shared_ptr<QtClipboardSource> clipboard_;
    std::unique_ptr<UploadServer> server_;
    EditorServerSettings serving_;
    // Stopped servers still answering their last requests; waited for at the end.
    std::vector<std::unique_ptr<UploadServer>> retired_;
};

} // namespace velpic
