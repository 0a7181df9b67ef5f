// The local upload server that Markdown editors call: POST /upload (the clipboard, a JSON list of files and
// addresses, or a form of files) and GET /heartbeat. It owns the HTTP server and its bounds; every picture goes to
// the same upload core as the window's and the command line's.
#pragma once

#include "server/server_options.h"
#include "upload/clipboard_picture.h"
#include "upload/upload_picture.h"

#include <functional>
#include <memory>
#include <string>

namespace velpic {

class UploadServer {
public:
    // The settings in force when a request arrives (read once per request).
    using ContextSource = std::function<UploadContext()>;
    // One line per request (UTF-8, no line break); never carries the access token or the key.
    using RequestLog = std::function<void(const std::string& line)>;

    // clipboard may be null: requests with an empty body then fail with a message.
    UploadServer(ServerOptions options, ContextSource context, std::shared_ptr<ClipboardSource> clipboard,
                 RequestLog log = {});
    // Stops and waits for the requests in hand.
    ~UploadServer();
    UploadServer(const UploadServer&) = delete;
    UploadServer& operator=(const UploadServer&) = delete;

    // Checks the options, binds and serves on threads of its own. Empty when listening, else why not (UTF-8).
    std::string start();
    // The port listened on (the one picked when the options said 0); 0 before a successful start.
    int port() const;
    const ServerOptions& options() const;

    // Stops taking connections; the port is free when this returns. Requests being served go on; when_finished,
    // when given, is called once the last of them has been answered (on a thread of the server's, or at once when
    // nothing is in hand). The server may then be destroyed without waiting.
    void stop_accepting(std::function<void()> when_finished = {});
    // stop_accepting(), then waits until every request being served has been answered.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velpic
