// The window's side of an upload: each report is queued to the window's thread, never applied from the worker.
#pragma once

#include "app/ui/ui_channel.h"
#include "upload/upload_picture.h"

class QLineEdit;

namespace velpic {

class PictureBox;

class WindowReporter final : public UploadReporter {
public:
    WindowReporter(UiChannelPtr channel, QLineEdit* url_box, PictureBox* drop_area)
        : channel_(std::move(channel)), url_box_(url_box), drop_area_(drop_area) {}

    void show_status(const std::string& text) override;
    void show_address(const std::string& address) override;
    void copy_address(const std::string& address) override;
    void show_message(const std::string& text) override;
    void show_picture(const std::string& bytes) override;

private:
    void set_url_text(const QString& text);

    UiChannelPtr channel_;
    QLineEdit* url_box_;
    PictureBox* drop_area_;
};

} // namespace velpic
