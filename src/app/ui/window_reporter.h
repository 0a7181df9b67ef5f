// The window's side of an upload: each report is queued to the window's thread, never applied from the worker.
// The one question an upload asks (a picture over 1 MB) waits for the window's answer.
#pragma once

#include "app/ui/picture_batch.h"
#include "app/ui/ui_channel.h"

#include <QString>
#include <functional>

class QLabel;
class QLineEdit;

namespace velpic {

class PictureBox;

class WindowReporter final : public BatchReporter {
public:
    // Runs on the window's thread and returns the user's answer.
    using LargePictureQuestion =
        std::function<LargePictureAnswer(const QString& name, std::uint64_t size, bool offer_compress)>;

    WindowReporter(UiChannelPtr channel, QLineEdit* url_box, PictureBox* drop_area, QLabel* progress,
                   LargePictureQuestion ask)
        : channel_(std::move(channel)), url_box_(url_box), drop_area_(drop_area), progress_(progress),
          ask_(std::move(ask)) {}

    void show_status(const std::string& text) override;
    void show_address(const std::string& address) override;
    void copy_address(const std::string& address) override;
    void show_message(const std::string& text) override;
    void show_picture(const std::string& bytes) override;

    void show_progress(std::size_t k, std::size_t n) override;
    // Answered No when the window is gone before it could ask.
    LargePictureAnswer ask_large_picture(const std::string& name, std::uint64_t size, bool offer_compress) override;
    void copy_links(const std::string& text) override;
    void report_problems(const std::string& text) override;

private:
    void set_url_text(const QString& text);
    void copy_text(const QString& text);
    void tell(const QString& text);

    UiChannelPtr channel_;
    QLineEdit* url_box_;
    PictureBox* drop_area_;
    QLabel* progress_;
    LargePictureQuestion ask_;
};

// Puts text into the address box with its start in view: a long address would otherwise show only its end.
void show_in_address_box(QLineEdit* box, const QString& text);

} // namespace velpic
