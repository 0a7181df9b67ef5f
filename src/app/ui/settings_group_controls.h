// The groups below the original ones on the settings page: "编辑器上传服务", "上传选项" and "链接检测", at x = 66
// and 288 wide like the others, reached by scrolling the page.
#pragma once

#include "settings/settings_store.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QWidget;

namespace velpic {

class SettingsGroupControls {
public:
    // The settings page's canvas must be this high to hold them.
    static constexpr int canvas_height = 692;

    explicit SettingsGroupControls(QWidget* canvas);

    void fill(const SettingsPage& page);
    void collect(SettingsPage& page) const;

private:
    QCheckBox* server_enabled_;
    QLineEdit* server_port_;
    QLineEdit* server_key_;
    QComboBox* link_format_;
    QCheckBox* compress_;
    QCheckBox* archive_;
    QLineEdit* referer_;
    QLineEdit* max_age_;
};

} // namespace velpic
