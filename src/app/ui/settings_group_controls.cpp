#include "app/ui/settings_group_controls.h"

#include "app/ui/controls.h"
#include "app/ui/ui_text.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>

namespace velpic {

SettingsGroupControls::SettingsGroupControls(QWidget* canvas) {
    auto* server = server_ =
        place(new QGroupBox(QStringLiteral("编辑器上传服务"), canvas), "分组框_编辑器上传服务", 66, 0, 288, 98);
    server_enabled_ = place(new QCheckBox(QStringLiteral("启用编辑器上传服务"), server), "复选框_启用编辑器上传服务",
                            16, 22, 150, 20);
    // Ticked means "should run"; a server that could not start must not look as if it runs.
    server_state_ = label(server, "标签_服务状态", QStringLiteral("未运行"), 170, 24, 76, 16);
    server_state_->setStyleSheet(QStringLiteral("color: #c00000;"));
    server_state_->setVisible(false);
    QObject::connect(server_enabled_, &QCheckBox::toggled, server_state_,
                     [this] { show_server_running(server_running_); });
    label(server, "标签_服务端口", QStringLiteral("端口："), 16, 48, 82, 16);
    server_port_ = edit(server, "编辑框_服务端口", 102, 46, 144, 20);
    label(server, "标签_服务密钥", QStringLiteral("密钥："), 16, 72, 82, 16);
    server_key_ = edit(server, "编辑框_服务密钥", 102, 70, 144, 20, true);

    auto* upload = upload_ =
        place(new QGroupBox(QStringLiteral("上传选项"), canvas), "分组框_上传选项", 66, 102, 288, 98);
    label(upload, "标签_链接格式", QStringLiteral("链接格式："), 16, 24, 82, 16);
    link_format_ = place(new QComboBox(upload), "组合框_链接格式", 102, 22, 144, 20);
    // In the order of LinkFormat.
    link_format_->addItems({QStringLiteral("地址"), QStringLiteral("Markdown"), QStringLiteral("HTML")});
    compress_ = place(new QCheckBox(QStringLiteral("压缩超过1MB的图片"), upload), "复选框_压缩", 16, 48, 230, 20);
    archive_ = place(new QCheckBox(QStringLiteral("保留本地存档"), upload), "复选框_保留本地存档", 16, 72, 230, 20);

    auto* check = check_ =
        place(new QGroupBox(QStringLiteral("链接检测"), canvas), "分组框_链接检测", 66, 204, 288, 98);
    label(check, "标签_检测来源页", QStringLiteral("检测来源页："), 16, 24, 82, 16);
    referer_ = edit(check, "编辑框_检测来源页", 102, 22, 144, 20);
    label(check, "标签_复查间隔", QStringLiteral("复查间隔（小时）："), 16, 48, 110, 16);
    max_age_ = edit(check, "编辑框_复查间隔", 130, 46, 116, 20);
    label(check, "标签_检测速率", QStringLiteral("检测速率（次/秒）："), 16, 72, 110, 16);
    check_rate_ = edit(check, "编辑框_检测速率", 130, 70, 116, 20);
    check_rate_->setToolTip(QStringLiteral("每秒向同一网站发出的检测数，均匀间隔；0为不限"));
}

void SettingsGroupControls::move_to(int top) {
    server_->move(66, top);
    upload_->move(66, top + 102);
    check_->move(66, top + 204);
}

int SettingsGroupControls::bottom() const {
    return check_->geometry().bottom() + 1;
}

void SettingsGroupControls::show_server_running(bool running) {
    server_running_ = running;
    server_state_->setVisible(server_enabled_->isChecked() && !running);
}

void SettingsGroupControls::fill(const SettingsPage& page) {
    server_enabled_->setChecked(page.server_enabled);
    server_port_->setText(from_gbk(page.server_port));
    server_key_->setText(from_gbk(page.server_key));
    link_format_->setCurrentIndex(static_cast<int>(page.link_format));
    compress_->setChecked(page.compress);
    archive_->setChecked(page.archive);
    referer_->setText(from_gbk(page.check_referer));
    max_age_->setText(from_gbk(page.check_max_age));
    check_rate_->setText(from_gbk(page.check_rate));
}

void SettingsGroupControls::collect(SettingsPage& page) const {
    page.server_enabled = server_enabled_->isChecked();
    page.server_port = to_gbk(server_port_->text());
    page.server_key = to_gbk(server_key_->text());
    const int format = link_format_->currentIndex();
    page.link_format = format == 1 ? LinkFormat::markdown : format == 2 ? LinkFormat::html : LinkFormat::url;
    page.compress = compress_->isChecked();
    page.archive = archive_->isChecked();
    page.check_referer = to_gbk(referer_->text());
    page.check_max_age = to_gbk(max_age_->text());
    page.check_rate = to_gbk(check_rate_->text());
}

} // namespace velpic
