#include "app/ui/main_window.h"

#include "app/ui/controls.h"
#include "app/ui/dialogs.h"
#include "app/ui/picture_box.h"
#include "app/ui/press_label.h"
#include "app/ui/scrolling_page.h"
#include "app/ui/settings_group_controls.h"
#include "app/ui/ui_text.h"
#include "app/ui/window_reporter.h"
#include "app/ui/window_upload_server.h"
#include "http/wininet_request.h"
#include "records/link_check_job.h"
#include "records/mysql_record_store.h"
#include "records/record_list.h"
#include "runtime/program_dir.h"
#include "runtime/service_base.h"
#include "runtime/thread_start.h"
#include "upload/clear_repository.h"
#include "upload/upload_picture.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <utility>

// The pictures are compiled into this static library, whose resource initialiser the linker would drop.
static void init_window_resources() {
    Q_INIT_RESOURCE(resources);
}

namespace velpic {

MainWindow::MainWindow(AppState& state, SettingsStore store, QWidget* parent)
    : QWidget(parent), state_(state), store_(std::move(store)), channel_(std::make_shared<UiChannel>(this)) {
    init_window_resources();
    setWindowTitle(QStringLiteral("Velpicv1.5"));
    setWindowIcon(QIcon(QStringLiteral(":/velpic.png")));
    // The captions were sized for SimSun at 12 pixels, whose Latin letters are 6 pixels wide; a face with the
    // same widths stands in where SimSun is missing, so that no caption is cut off.
    QFont small = font();
    small.setFamilies({QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei Mono")});
    small.setPixelSize(12);
    setFont(small);
    move(50, 50);
    setFixedSize(tab_width, tab_height - 1);

    tabs_ = place(new QTabWidget(this), "高级选择夹1", 0, -1, tab_width, tab_height);
    QFont caption_font(QStringLiteral("SimSun"));
    caption_font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei")});
    caption_font.setPixelSize(12);
    caption_font.setWeight(QFont::Normal);
    tabs_->tabBar()->setFont(caption_font);

    const QString captions[] = {QStringLiteral("上传"), QStringLiteral("配置"), QStringLiteral("记录")};
    for (const QString& caption : captions) {
        QWidget* page = nullptr;
        QWidget* canvas = nullptr;
        if (canvases_.size() == 1) {
            // The settings page holds more than the tab control's height: it scrolls.
            auto* scrolling = new ScrollingPage(tabs_, QSize(tab_width, SettingsGroupControls::canvas_height));
            page = scrolling;
            canvas = scrolling->canvas();
        } else {
            page = new QWidget;
            canvas = new QWidget(page);
            canvas->resize(tab_width, tab_height);
        }
        canvases_.push_back(canvas);
        page->installEventFilter(this);
        tabs_->addTab(page, caption);
    }
    build_upload_page(canvases_[0]);
    build_settings_page(canvases_[1]);
    build_records_page(canvases_[2]);
    connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::on_page_changed);

    // The creation handler.
    if (store_.load_at_start(state_))
        register_drop_target();
    if (state_.snapshot().mysql_mode()) {
        mysql_radio_->setChecked(true);
        mysql_group_->setVisible(true);
    } else {
        local_radio_->setChecked(true);
    }
    editor_server_ = std::make_unique<WindowUploadServer>(state_);
    // Said once the window is up, not before it is shown.
    QTimer::singleShot(0, this, &MainWindow::apply_editor_server);
}

MainWindow::~MainWindow() {
    channel_->close();
    stop_link_check();
    editor_server_.reset();
}

int MainWindow::editor_server_port() const {
    return editor_server_->port();
}

void MainWindow::apply_editor_server() {
    const std::string failure = editor_server_->apply(state_.snapshot().editor_server);
    if (!failure.empty())
        message(QStringLiteral("编辑器上传服务未能启动：") + QString::fromStdString(failure));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show || event->type() == QEvent::Move) {
        // Qt's tab bar is as high as its font needs; the controls keep their places relative to the whole
        // tab control whatever that height is.
        auto* page = qobject_cast<QWidget*>(watched);
        if (page != nullptr && page->parentWidget() != nullptr) {
            for (QWidget* canvas : canvases_) {
                if (canvas->parentWidget() == page)
                    canvas->move(-page->mapTo(tabs_, QPoint(0, 0)));
            }
        }
    } else if (list_ != nullptr && watched == list_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        request_preview();
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::register_drop_target() {
    drop_area_->set_drop_target(true);
}

void MainWindow::message(const QString& text, bool owned) {
    dialogs().message(owned ? this : nullptr, text, default_caption());
}

// ---- pages and settings

void MainWindow::on_page_changed(int index) {
    if (index == 1)
        fill_settings_page();
    else if (index == 2 && list_->topLevelItemCount() == 0)
        load_record_list();
}

void MainWindow::fill_settings_page() {
    const SettingsPage page = store_.read_page();
    owner_box_->setText(from_gbk(page.owner));
    repo_box_->setText(from_gbk(page.repo));
    token_box_->setText(from_gbk(page.access_token));
    server_box_->setText(from_gbk(page.server));
    port_box_->setText(from_gbk(page.port));
    user_box_->setText(from_gbk(page.database_user));
    password_box_->setText(from_gbk(page.database_password));
    database_box_->setText(from_gbk(page.database_name));
    groups_->fill(page);
}

void MainWindow::save_settings() {
    SettingsPage page;
    page.owner = to_gbk(owner_box_->text());
    page.repo = to_gbk(repo_box_->text());
    page.access_token = to_gbk(token_box_->text());
    page.server = to_gbk(server_box_->text());
    page.port = to_gbk(port_box_->text());
    page.database_user = to_gbk(user_box_->text());
    page.database_password = to_gbk(password_box_->text());
    page.database_name = to_gbk(database_box_->text());
    groups_->collect(page);
    const SaveResult result = store_.save(page, mysql_radio_->isChecked(), state_);
    if (result.gitee_saved)
        register_drop_target();
    message(from_gbk(result.message));
    if (result.gitee_saved)
        apply_editor_server();
    if (result.saved)
        tabs_->setCurrentIndex(0);
}

void MainWindow::choose_mysql_mode() {
    mysql_group_->setVisible(true);
    store_.choose_mysql_mode(state_);
}

void MainWindow::choose_local_mode() {
    mysql_group_->setVisible(false);
}

void MainWindow::test_mysql_connection() {
    MysqlSettings settings{to_gbk(server_box_->text()), port_number(to_gbk(port_box_->text())),
                           to_gbk(user_box_->text()), to_gbk(password_box_->text()), to_gbk(database_box_->text())};
    message(MysqlRecordStore(std::move(settings)).test_connection() ? QStringLiteral("Success")
                                                                    : QStringLiteral("Error"));
}

// ---- uploads

void MainWindow::on_file_dropped(const QString& paths) {
    const std::string extension = picture_extension(paths.toStdString());
    if (!is_picture_extension(extension)) {
        drop_area_->set_picture(default_drop_picture());
        message(QStringLiteral("只能是PNG,JPG,GIF格式的图片！"));
        return;
    }
    start_upload(paths, true);
}

void MainWindow::on_drop_area_double_clicked() {
    if (!state_.snapshot().gitee_known()) {
        message(QStringLiteral("请先填写配置！"));
        return;
    }
    const QString path = dialogs().open_file(this, file_dialog_->property("filter").toString());
    if (path.isEmpty())
        return;
    start_upload(path, false);
}

void MainWindow::start_upload(const QString& path, bool dropped) {
    // The worker gets its own copies: the settings as they are now and the path.
    start_thread([context = upload_context(state_.snapshot(), program_dir()), file = to_path(path), dropped,
                  reporter = std::make_shared<WindowReporter>(channel_, url_box_, drop_area_)] {
        if (dropped)
            upload_dropped_file(context, file, *reporter);
        else
            upload_chosen_file(context, file, *reporter);
    });
}

// ---- record list

void MainWindow::clear_rows() {
    // Writes still queued by an earlier check belong to rows that are gone.
    ++list_generation_;
    stop_link_check();
    list_->clear();
}

void MainWindow::load_record_list() {
    const StateSnapshot snapshot = state_.snapshot();
    const std::vector<UploadRecord> records =
        load_record_rows(mysql_radio_->isChecked(), snapshot.mysql, snapshot.machine_code, program_dir());
    int number = 0;
    for (const UploadRecord& record : records) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(column_number, QString::number(++number));
        item->setText(column_digest, from_gbk(record.ImgMd5));
        item->setText(column_type, from_gbk(record.ImgType));
        item->setText(column_address, from_gbk(record.ImgUrl));
        item->setText(column_status, from_gbk(link_status_text(LinkStatus::pending)));
        item->setTextAlignment(column_status, Qt::AlignCenter);
    }
    start_link_check();
}

void MainWindow::refresh_record_list() {
    clear_rows();
    preview_->setVisible(false);
    preview_close_->setVisible(false);
    load_record_list();
}

int MainWindow::selected_row() const {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
}

void MainWindow::on_list_context_menu() {
    if (selected_row() < 0)
        return;
    menu_->popup(QCursor::pos() + QPoint(3, 3));
}

void MainWindow::copy_selected_address() {
    const int row = selected_row();
    if (row < 0)
        return;
    QApplication::clipboard()->setText(list_->topLevelItem(row)->text(column_address));
}

void MainWindow::request_preview() {
    const int row = selected_row();
    const QString status = row < 0 ? QString() : list_->topLevelItem(row)->text(column_status);
    if (status == from_gbk(link_status_text(LinkStatus::expired))) {
        message(QStringLiteral("链接已失效"));
        return;
    }
    if (row < 0)
        return;
    const std::uint64_t generation = ++preview_generation_;
    start_thread([channel = channel_, window = this, generation,
                  address = to_gbk(list_->topLevelItem(row)->text(column_address))] {
        const std::string data = wininet_request(address);
        channel->post(
            [window, generation, bytes = QByteArray::fromStdString(data)] { window->show_preview(generation, bytes); });
    });
}

void MainWindow::show_preview(std::uint64_t generation, const QByteArray& bytes) {
    // Of two previews running at once, the one asked for last is the one shown.
    if (generation != preview_generation_)
        return;
    preview_->set_picture(bytes);
    preview_->setVisible(true);
    preview_close_->setVisible(true);
    preview_->raise();
    preview_close_->raise();
}

// ---- clearing

void MainWindow::on_clear_clicked() {
    if (!dialogs().ask_yes_no(this, QStringLiteral("请确定是否清空仓库？(该操作不可恢复，请谨慎操作！)"),
                              QStringLiteral("操作")))
        return;
    const StateSnapshot snapshot = state_.snapshot();
    if (clear_repository(snapshot.owner, snapshot.repo, snapshot.access_token) != "Success") {
        message(QStringLiteral("清空失败"));
        return;
    }
    const RecordRemoval removal = remove_all_records(mysql_radio_->isChecked(), snapshot.mysql, program_dir());
    clear_rows();
    message(QStringLiteral("清空成功！请手动进行仓库初始化！"));
    // Records left behind would hand out addresses of files that no longer exist instead of uploading again.
    if (!removal.ok)
        message(QStringLiteral("但记录删除失败！") + from_gbk(removal.error));
    dialogs().open_url(from_gbk(service_base() + snapshot.owner + "/" + snapshot.repo));
}

} // namespace velpic
