// The groups below the original ones on the settings page: "编辑器上传服务", "上传选项" and "链接检测", at x = 66
// and 288 wide like the others, reached by scrolling the page. They follow the save button, which moves with the
// MySQL group's visibility.
#pragma once

#include "settings/settings_store.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace velpic {

class SettingsGroupControls {
public:
    // From the top of the first group to the bottom of the last.
    static constexpr int height = 278;

    explicit SettingsGroupControls(QWidget* canvas);

    // Puts the first group's top edge at top on the canvas, the others below it.
    void move_to(int top);
    // Just below the last group, on the canvas.
    int bottom() const;

    void fill(const SettingsPage& page);
    void collect(SettingsPage& page) const;
    // Whether the window's editor server is listening: a ticked box beside a server that is not says "未运行".
    void show_server_running(bool running);

private:
    QWidget* server_;
    QWidget* upload_;
    QWidget* check_;
    QCheckBox* server_enabled_;
    QLabel* server_state_;
    bool server_running_ = false;
    QLineEdit* server_port_;
    QLineEdit* server_key_;
    QComboBox* link_format_;
    QCheckBox* compress_;
    QCheckBox* archive_;
    QLineEdit* referer_;
    QLineEdit* max_age_;
    QLineEdit* check_rate_;
};

} // namespace velpic
