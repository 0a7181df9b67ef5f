// The controls of the three pages, each at the place and size the form gives it relative to the tab control.
#include "app/ui/main_window.h"

#include "app/ui/controls.h"
#include "app/ui/dialogs.h"
#include "app/ui/picture_box.h"
#include "app/ui/record_table_model.h"
#include "app/ui/scrolling_page.h"
#include "app/ui/service_profile_controls.h"
#include "app/ui/settings_group_controls.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QTreeView>
#include <algorithm>
#include <initializer_list>

namespace velpic {

namespace {

// The form drew the radio buttons where a frame line runs through the group's title, so they started 11 pixels
// down. Here the title stands above the frame, whose line would cross the buttons: they move down inside it,
// keeping their left edges and widths, and take the frame's inner height.
void fit_into_frame(QGroupBox* group, std::initializer_list<QWidget*> buttons) {
    group->ensurePolished();
    // The style draws the frame's lines 2 pixels outside the contents; the buttons take all that lies between.
    const QRect inside = group->contentsRect().adjusted(0, -1, 0, 1);
    for (QWidget* button : buttons) {
        const QRect form = button->geometry();
        const int top = std::max(form.top(), inside.top());
        button->setGeometry(form.left(), top, form.width(), std::max(inside.bottom() - top + 1, 1));
    }
}

} // namespace

void MainWindow::build_upload_page(QWidget* canvas) {
    drop_area_ = place(new PictureBox(canvas), "画板1", 9, 32, 398, 336);
    drop_area_->set_picture(default_drop_picture());
    connect(drop_area_, &PictureBox::double_clicked, this, &MainWindow::on_drop_area_double_clicked);
    connect(drop_area_, &PictureBox::files_dropped, this, &MainWindow::on_file_dropped);
    // Over the foot of the drop area while several pictures go up one after another.
    upload_progress_ = label(drop_area_, "标签_上传进度", QString(), 0, 336 - 22, 398, 22);
    upload_progress_->setAlignment(Qt::AlignCenter);
    upload_progress_->setStyleSheet(QStringLiteral("background-color: rgba(255, 255, 255, 200);"));
    upload_progress_->setVisible(false);

    drop_menu_ = new QMenu(QStringLiteral("菜单_上传"), this);
    drop_menu_->setObjectName(QStringLiteral("菜单_上传"));
    QAction* paste = drop_menu_->addAction(QStringLiteral("粘贴上传"));
    connect(paste, &QAction::triggered, this, &MainWindow::paste_upload);
    drop_area_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(drop_area_, &PictureBox::customContextMenuRequested, this,
            [this](const QPoint& at) { drop_menu_->popup(drop_area_->mapToGlobal(at)); });

    url_box_ = edit(canvas, "编辑框_url", 7, 375, 400, 24);
    url_box_->setReadOnly(true);

    // The open-file dialog is not drawn; this object carries its filter, as the form's dialog control does. The
    // dialog takes every type a drop takes (the patterns match in any letter case).
    auto* dialog = new QObject(this);
    dialog->setObjectName(QStringLiteral("通用对话框1"));
    dialog->setProperty("filter", QStringLiteral("图片文件(*.png;*.jpg;*.jpeg;*.gif;*.webp)|"
                                                 "*.png;*.jpg;*.jpeg;*.gif;*.webp"));
    file_dialog_ = dialog;
}

void MainWindow::build_settings_page(QWidget* canvas) {
    profile_ = std::make_unique<ServiceProfileControls>(
        canvas, [this](ServiceKind service) { return store_.read_profile(service); });

    // Below the profile's group as the form had them below its smaller group; arrange_settings_page places the
    // rest.
    const int mode_top = profile_->bottom() + 2;
    auto* mode = mode_group_ =
        place(new QGroupBox(QStringLiteral("记录方式："), canvas), "分组框3", 66, mode_top, 288, 39);
    local_radio_ = place(new QRadioButton(QStringLiteral("本地"), mode), "单选框_记录方式_本地", 86, 12, 49, 24);
    mysql_radio_ = place(new QRadioButton(QStringLiteral("MySQL"), mode), "单选框_记录方式_MySQL", 173, 11, 58, 24);
    fit_into_frame(mode, {local_radio_, mysql_radio_});
    connect(local_radio_, &QRadioButton::clicked, this, &MainWindow::choose_local_mode);
    connect(mysql_radio_, &QRadioButton::clicked, this, &MainWindow::choose_mysql_mode);

    mysql_group_ =
        place(new QGroupBox(QStringLiteral("MySQL配置"), canvas), "分组框_mysql", 66, mode_top + 41, 288, 158);
    label(mysql_group_, "标签7", QStringLiteral("服务器地址："), 16, 24, 82, 16);
    server_box_ = edit(mysql_group_, "编辑框_Server", 102, 24, 144, 20);
    label(mysql_group_, "标签1", QStringLiteral("端口："), 16, 50, 82, 16);
    port_box_ = edit(mysql_group_, "编辑框_Prot", 102, 50, 144, 20);
    label(mysql_group_, "标签6", QStringLiteral("用户名："), 34, 80, 64, 16);
    user_box_ = edit(mysql_group_, "编辑框_DataBaseUserName", 102, 80, 144, 20);
    label(mysql_group_, "标签5", QStringLiteral("口令："), 46, 104, 52, 16);
    password_box_ = edit(mysql_group_, "编辑框_DataBasePassword", 102, 104, 144, 20, true);
    label(mysql_group_, "标签8", QStringLiteral("数据库："), 14, 128, 84, 16);
    database_box_ = edit(mysql_group_, "编辑框_DatabaseName", 102, 128, 144, 20);
    test_button_ = button(mysql_group_, "按钮_测试", QStringLiteral("测试"), 248, 129, 35, 20);
    connect(test_button_, &QPushButton::clicked, this, &MainWindow::test_mysql_connection);
    mysql_group_->setVisible(false);

    cancel_button_ = button(canvas, "按钮_取消", QStringLiteral("取消"), 144, 0, 72, 23);
    save_button_ = button(canvas, "按钮_保存", QStringLiteral("保存"), 220, 0, 72, 23);
    connect(cancel_button_, &QPushButton::clicked, this, [this] { tabs_->setCurrentIndex(0); });
    connect(save_button_, &QPushButton::clicked, this, &MainWindow::save_settings);

    groups_ = std::make_unique<SettingsGroupControls>(canvas);
    profile_->set_resized([this] { arrange_settings_page(); });
}

void MainWindow::arrange_settings_page() {
    // Right below the profile's group, whose height follows its example address.
    const int mode_top = profile_->bottom() + 2;
    mode_group_->move(mode_group_->x(), mode_top);
    mysql_group_->move(mysql_group_->x(), mode_top + 41);
    // The MySQL group takes room only while it is shown. The buttons come after the last group: between the groups
    // they read as the end of the page and left what lay below them unsaved.
    const bool mysql = !mysql_group_->isHidden();
    const int groups = mysql ? mysql_group_->geometry().bottom() + 4 : mode_group_->geometry().bottom() + 9;
    groups_->move_to(groups);
    const int buttons = groups_->bottom() + 8;
    cancel_button_->move(cancel_button_->x(), buttons);
    save_button_->move(save_button_->x(), buttons);
    settings_page_->set_canvas_height(buttons + save_button_->height() + 10);
}

void MainWindow::build_records_page(QWidget* canvas) {
    list_ = place(new QTreeView(canvas), "超级列表框1", 7, 28, 400, 355);
    records_ = new RecordTableModel(list_);
    records_->setObjectName(QStringLiteral("记录表"));
    records_->set_tooltip_maker([this](int row) { return row_tooltip(row); });
    list_->setModel(records_);
    // Turning the stretch off after hiding the address column would give that column its minimum width
    // back, pushing "STATUS" right and the list into a horizontal scroll bar.
    list_->header()->setStretchLastSection(false);
    const int widths[] = {30, 210, 60, 0, 90};
    for (int column = 0; column < 5; ++column)
        list_->setColumnWidth(column, widths[column]);
    list_->setColumnHidden(column_address, true);
    connect(records_, &QAbstractItemModel::modelReset, this, &MainWindow::fit_number_column);
    connect(records_, &QAbstractItemModel::rowsInserted, this, &MainWindow::fit_number_column);
    connect(records_, &QAbstractItemModel::rowsRemoved, this, &MainWindow::fit_number_column);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QTreeView::customContextMenuRequested, this, &MainWindow::on_list_context_menu);
    list_->viewport()->installEventFilter(this);

    clear_button_ = button(canvas, "按钮_清空", QStringLiteral("清空"), 327, 385, 40, 18);
    refresh_button_ = button(canvas, "按钮_刷新", QStringLiteral("刷新"), 370, 385, 40, 18);
    connect(clear_button_, &QPushButton::clicked, this, &MainWindow::on_clear_clicked);
    connect(refresh_button_, &QPushButton::clicked, this, &MainWindow::refresh_record_list);
    build_link_check_controls(canvas);

    preview_ = place(new PictureBox(canvas), "图片框_预览", 18, 228, 144, 144);
    preview_->setFrameShape(QFrame::Box);
    preview_->setAutoFillBackground(true);
    preview_->setVisible(false);
    // Inside the box's top right corner, clear of its frame: outside it the × seemed to belong to the list.
    preview_close_ = place(new QPushButton(canvas), "按钮_预览_关闭", 144, 230, 16, 16);
    preview_close_->setIcon(QIcon(QStringLiteral(":/close.png")));
    preview_close_->setIconSize(QSize(16, 16));
    preview_close_->setFlat(true);
    preview_close_->setVisible(false);
    connect(preview_close_, &QPushButton::clicked, this, [this] {
        preview_->setVisible(false);
        preview_close_->setVisible(false);
    });

    // An open preview shows the row the user moves to; an expired row has nothing to show.
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& row) {
        if (!preview_->isVisible() || !row.isValid())
            return;
        if (records_->status(row.row()) == LinkStatus::expired) {
            ++preview_generation_;
            preview_->setVisible(false);
            preview_close_->setVisible(false);
            return;
        }
        request_preview();
    });
    copy_note_ = label(canvas, "标签_复制提示", QString(), 7, 385, 50, 18);

    build_record_menu();
}

void MainWindow::fit_number_column() {
    constexpr int form_number = 30, form_digest = 210;
    // Digits are equally wide in the fonts in use; the delegate keeps a focus-frame margin and a pixel each side.
    const int digits = static_cast<int>(QString::number(std::max(1, records_->rowCount())).size());
    const int margin = list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
    const int needed = list_->fontMetrics().horizontalAdvance(QString(digits, u'0')) + 2 * margin + 4;
    const int number = std::max(form_number, needed);
    list_->setColumnWidth(column_number, number);
    list_->setColumnWidth(column_digest, form_digest - (number - form_number));
}

void MainWindow::build_record_menu() {
    menu_ = new QMenu(QStringLiteral("菜单"), this);
    menu_->setObjectName(QStringLiteral("菜单"));
    QAction* copy = menu_->addAction(QStringLiteral("复制图片链接"));
    connect(copy, &QAction::triggered, this, &MainWindow::copy_selected_address);
    QAction* remove = menu_->addAction(QStringLiteral("删除图片"));
    connect(remove, &QAction::triggered, this, &MainWindow::delete_selected_picture);
    restore_action_ = menu_->addAction(QStringLiteral("恢复图片"));
    connect(restore_action_, &QAction::triggered, this, &MainWindow::restore_selected_picture);
}

} // namespace velpic
