#include "app/ui/window_upload_server.h"

#include "desktop/qt_clipboard_source.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "server/upload_server.h"

#include <utility>

namespace velpic {

WindowUploadServer::WindowUploadServer(AppState& state, UiChannelPtr window, RecordedHandler recorded)
    : state_(state), window_(std::move(window)), recorded_(std::move(recorded)),
      self_(std::make_shared<WindowUploadServer*>(this)), clipboard_(std::make_shared<QtClipboardSource>()) {}

WindowUploadServer::~WindowUploadServer() {
    *self_ = nullptr;
    clipboard_->close();
    retire();
    retired_.clear();
}

void WindowUploadServer::retire() {
    if (!server_)
        return;
    // The port is free at once; the requests in hand finish on their own threads, and then the window's thread
    // drops the server. Once this is being destroyed, its destructor waits for them all instead.
    const UploadServer* stopped = server_.get();
    retired_.push_back(std::move(server_));
    retired_.back()->stop_accepting([window = window_, self = self_, stopped] {
        window->post([self, stopped] {
            if (*self != nullptr)
                (*self)->drop(stopped);
        });
    });
}

void WindowUploadServer::drop(const UploadServer* stopped) {
    std::erase_if(retired_, [stopped](const std::unique_ptr<UploadServer>& server) { return server.get() == stopped; });
}

std::size_t WindowUploadServer::stopping() const {
    return retired_.size();
}

std::string WindowUploadServer::apply(const EditorServerSettings& settings) {
    if (!settings.enabled) {
        retire();
        return {};
    }
    if (server_ && serving_.port == settings.port && serving_.key == settings.key)
        return {};
    retire();
    ServerOptions options;
    options.port = settings.port;
    options.key = to_utf8(settings.key);
    if (options.port < 1 || options.port > 65535)
        return "端口必须是1到65535之间的数字";
    auto server = std::make_unique<UploadServer>(
        options,
        [&state = state_, recorded = recorded_] {
            UploadContext context = upload_context(state.snapshot(), program_dir());
            context.recorded = recorded;
            return context;
        },
        clipboard_);
    std::string failure = server->start();
    if (!failure.empty())
        return failure;
    server_ = std::move(server);
    serving_ = settings;
    return {};
}

int WindowUploadServer::port() const {
    return server_ ? server_->port() : 0;
}

} // namespace velpic
