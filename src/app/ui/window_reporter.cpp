#include "app/ui/window_reporter.h"

#include "app/ui/dialogs.h"
#include "app/ui/picture_box.h"
#include "app/ui/ui_text.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>

namespace velpic {

void WindowReporter::show_status(const std::string& text) {
    set_url_text(from_gbk(text));
}

void WindowReporter::show_address(const std::string& address) {
    set_url_text(from_gbk(address));
}

void WindowReporter::copy_address(const std::string& address) {
    channel_->post([text = from_gbk(address)] { QApplication::clipboard()->setText(text); });
}

void WindowReporter::show_message(const std::string& text) {
    // The upload's messages have no owner window, as they may come long after the drop.
    channel_->post([text = from_gbk(text)] { dialogs().message(nullptr, text, default_caption()); });
}

void WindowReporter::show_picture(const std::string& bytes) {
    channel_->post([area = drop_area_, data = QByteArray::fromStdString(bytes)] {
        area->set_picture(data.isEmpty() ? default_drop_picture() : data);
    });
}

void WindowReporter::set_url_text(const QString& text) {
    channel_->post([box = url_box_, text] { box->setText(text); });
}

} // namespace velpic
