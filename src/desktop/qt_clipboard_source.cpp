#include "desktop/qt_clipboard_source.h"

#include "desktop/clipboard_reader.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace velpic {

struct QtClipboardSource::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
};

namespace {

ClipboardPicture failure(const char* why) {
    ClipboardPicture picture;
    picture.error = why;
    return picture;
}

} // namespace

QtClipboardSource::QtClipboardSource(std::chrono::milliseconds patience)
    : shared_(std::make_shared<Shared>()), context_(new QObject), patience_(patience) {}

QtClipboardSource::~QtClipboardSource() {
    close();
    if (QThread::currentThread() == context_->thread())
        delete context_;
    else
        context_->deleteLater();
}

void QtClipboardSource::close() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
    }
    shared_->changed.notify_all();
}

ClipboardPicture QtClipboardSource::read() {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->closed)
            return failure("the clipboard is no longer available");
    }
    if (QThread::currentThread() == context_->thread())
        return read_clipboard_picture();

    struct Reply {
        bool done = false;
        ClipboardPicture picture;
    };
    auto reply = std::make_shared<Reply>();
    const bool posted = QMetaObject::invokeMethod(
        context_,
        [shared = shared_, reply] {
            ClipboardPicture picture = read_clipboard_picture();
            {
                std::lock_guard lock(shared->mutex);
                reply->picture = std::move(picture);
                reply->done = true;
            }
            shared->changed.notify_all();
        },
        Qt::QueuedConnection);
    if (!posted)
        return failure("the clipboard is not available");
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_for(lock, patience_, [&] { return reply->done || shared_->closed; });
    if (!reply->done)
        return failure(shared_->closed ? "the clipboard is no longer available" : "the clipboard did not answer");
    return std::move(reply->picture);
}

} // namespace velpic
