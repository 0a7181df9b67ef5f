// The editors' upload server while the window is open, as the settings page turns it on: the same server as
// `velpic serve`, reading the clipboard through the window's application.
#pragma once

#include "settings/app_state.h"
#include "app/ui/ui_channel.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velpic {

class QtClipboardSource;
class UploadServer;

class WindowUploadServer {
public:
    // Told on a server's thread of every record its uploads store.
    using RecordedHandler = std::function<void(const UploadRecord& record)>;

    // Made on the window's thread; window is the channel to it, through which a stopped server is dropped once its
    // last request is answered.
    WindowUploadServer(AppState& state, UiChannelPtr window, RecordedHandler recorded = {});
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
    // Servers stopped by an apply that are still answering requests they had taken.
    std::size_t stopping() const;

private:
    void retire();
    void drop(const UploadServer* stopped);

    AppState& state_;
    UiChannelPtr window_;
    RecordedHandler recorded_;
    // Read and cleared on the window's thread only: a drop posted while this is being destroyed finds it null.
    std::shared_ptr<WindowUploadServer*> self_;
    std::shared_ptr<QtClipboardSource> clipboard_;
    std::unique_ptr<UploadServer> server_;
    EditorServerSettings serving_;
    // Stopped servers still answering their last requests; waited for at the end.
    std::vector<std::unique_ptr<UploadServer>> retired_;
};

} // namespace velpic
