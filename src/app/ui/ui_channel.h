// How workers reach the window: each update is queued to the window's thread, and once the window is gone
// the channel is closed so a worker that outlives it posts nothing.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <memory>
#include <mutex>
#include <utility>

namespace velpic {

class UiChannel {
public:
    explicit UiChannel(QObject* target) : target_(target) {}

    void close() {
        std::lock_guard lock(mutex_);
        target_ = nullptr;
    }

    // Runs fn on the target's thread, later; false when the window is gone.
    template <class Fn> bool post(Fn&& fn) {
        std::lock_guard lock(mutex_);
        if (target_ == nullptr)
            return false;
        return QMetaObject::invokeMethod(target_, std::forward<Fn>(fn), Qt::QueuedConnection);
    }

private:
    std::mutex mutex_;
    QObject* target_;
};

using UiChannelPtr = std::shared_ptr<UiChannel>;

} // namespace velpic
