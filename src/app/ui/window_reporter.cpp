#include "app/ui/window_reporter.h"

#include "app/ui/dialogs.h"
#include "app/ui/picture_box.h"
#include "app/ui/ui_text.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace velpic {

namespace {

// The answer to a question put to the window's thread. Whoever holds the last Asking lets the waiter go: the
// queued call once it has run, or, when the window went away first and the call was dropped unrun, with No.
class PendingAnswer {
public:
    void give(const LargePictureAnswer& answer) {
        {
            std::lock_guard lock(mutex_);
            if (!answer_)
                answer_ = answer;
        }
        given_.notify_all();
    }
    LargePictureAnswer wait() {
        std::unique_lock lock(mutex_);
        given_.wait(lock, [&] { return answer_.has_value(); });
        return *answer_;
    }

private:
    std::mutex mutex_;
    std::condition_variable given_;
    std::optional<LargePictureAnswer> answer_;
};

struct Asking {
    explicit Asking(std::shared_ptr<PendingAnswer> pending) : answer(std::move(pending)) {}
    ~Asking() { answer->give({}); }
    Asking(const Asking&) = delete;
    Asking& operator=(const Asking&) = delete;
    std::shared_ptr<PendingAnswer> answer;
};

} // namespace

void show_in_address_box(QLineEdit* box, const QString& text) {
    box->setText(text);
    box->setCursorPosition(0);
}

void WindowReporter::show_status(const std::string& text) {
    set_url_text(from_gbk(text));
}

void WindowReporter::show_address(const std::string& address) {
    set_url_text(from_gbk(address));
}

void WindowReporter::copy_address(const std::string& address) {
    copy_text(from_gbk(address));
}

void WindowReporter::show_message(const std::string& text) {
    tell(from_gbk(text));
}

void WindowReporter::show_picture(const std::string& bytes) {
    channel_->post([area = drop_area_, data = QByteArray::fromStdString(bytes)] {
        area->set_picture(data);
        // An empty file, or bytes that are no picture, would leave the area blank.
        if (!area->has_image())
            area->set_picture(default_drop_picture());
    });
}

void WindowReporter::show_progress(std::size_t k, std::size_t n) {
    channel_->post([label = progress_, k, n] {
        label->setText(QStringLiteral("正在上传 %1/%2").arg(k).arg(n));
        label->setVisible(k > 0);
        label->raise();
    });
}

LargePictureAnswer WindowReporter::ask_large_picture(const std::string& name, std::uint64_t size, bool offer_compress) {
    auto pending = std::make_shared<PendingAnswer>();
    {
        auto asking = std::make_shared<Asking>(pending);
        channel_->post([asking, ask = ask_, name = QString::fromStdString(name), size, offer_compress] {
            asking->answer->give(ask(name, size, offer_compress));
        });
    }
    return pending->wait();
}

void WindowReporter::copy_links(const std::string& text) {
    copy_text(QString::fromStdString(text));
}

void WindowReporter::report_problems(const std::string& text) {
    tell(QString::fromStdString(text));
}

void WindowReporter::set_url_text(const QString& text) {
    channel_->post([box = url_box_, text] { show_in_address_box(box, text); });
}

void WindowReporter::copy_text(const QString& text) {
    channel_->post([text] { QApplication::clipboard()->setText(text); });
}

void WindowReporter::tell(const QString& text) {
    // Over the window, which is there for as long as the channel delivers.
    channel_->post([box = url_box_, text] { dialogs().message(box->window(), text, default_caption()); });
}

} // namespace velpic
