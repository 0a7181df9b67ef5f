// The clipboard for readers on any thread: a read from another thread is handed to the application's thread and
// waited for (bounded), since Qt's clipboard belongs to that thread.
#pragma once

#include "upload/clipboard_picture.h"

#include <chrono>
#include <memory>

class QObject;

namespace velpic {

class QtClipboardSource final : public ClipboardSource {
public:
    // Made on the application's thread, after the QGuiApplication.
    explicit QtClipboardSource(std::chrono::milliseconds patience = std::chrono::seconds(10));
    ~QtClipboardSource() override;
    QtClipboardSource(const QtClipboardSource&) = delete;
    QtClipboardSource& operator=(const QtClipboardSource&) = delete;

    ClipboardPicture read() override;

    // Readers still waiting give up at once and later reads fail: for an application thread about to stop
    // answering (a window closing while its server finishes a request).
    void close();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    QObject* context_; // lives on the application's thread; the reads run there
    std::chrono::milliseconds patience_;
};

} // namespace velpic
