#include "app/ui/main_window.h"

#include "app/ui/controls.h"
#include "app/ui/dialogs.h"
#include "app/ui/picture_box.h"
#include "app/ui/press_label.h"
#include "app/ui/record_table_model.h"
#include "app/ui/record_tooltip.h"
#include "app/ui/scrolling_page.h"
#include "server/server_failure_text.h"
#include "app/ui/service_profile_controls.h"
#include "app/ui/settings_group_controls.h"
#include "app/ui/ui_text.h"
#include "app/ui/window_reporter.h"
#include "app/ui/window_upload_server.h"
#include "desktop/clipboard_reader.h"
#include "http/transport_failure.h"
#include "http/wininet_request.h"
#include "records/link_check_job.h"
#include "records/link_status_memory.h"
#include "records/mysql_record_store.h"
#include "records/record_list.h"
#include "runtime/program_dir.h"
#include "runtime/thread_start.h"
#include "settings/link_text.h"
#include "upload/clear_repository.h"
#include "upload/clipboard_picture.h"
#include "upload/hosting_service.h"
#include "upload/upload_item.h"
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
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <utility>

// The pictures are compiled into this static library, whose resource initialiser the linker would drop.
static void init_window_resources() {
    Q_INIT_RESOURCE(resources);
}

namespace velpic {

namespace {

// The status of an answer head ("HTTP/1.1 404 Not Found"); 0 without one.
int answer_status(const std::string& head) {
    if (head.compare(0, 5, "HTTP/") != 0)
        return 0;
    const std::size_t space = head.find(' ');
    if (space == std::string::npos || head.size() < space + 4)
        return 0;
    int status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (head[i] < '0' || head[i] > '9')
            return 0;
        status = status * 10 + (head[i] - '0');
    }
    return status;
}

// Why a preview's download gave nothing to show, as the command line says it (UTF-8); empty when it answered.
std::string preview_failure(const WinInetResponse& response, const std::string& body) {
    if (!response.complete) {
        // An address without a host never leaves the program.
        if (response.failure_reason.empty())
            return "图片地址无效";
        return to_utf8(response.failure_reason);
    }
    if (const int status = answer_status(response.response_headers); status >= 400)
        return http_failure_reason(status, body);
    return {};
}

} // namespace

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
            auto* scrolling = new ScrollingPage(tabs_, QSize(tab_width, tab_height));
            settings_page_ = scrolling;
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
    // Ctrl+V anywhere on the upload page; the settings page's edit boxes take their own paste first.
    auto* paste = new QShortcut(QKeySequence::Paste, this);
    connect(paste, &QShortcut::activated, this, [this] {
        if (tabs_->currentIndex() == 0)
            paste_upload();
    });

    // The creation handler.
    std::string settings_problem;
    if (store_.load_at_start(state_, &settings_problem))
        register_drop_target();
    if (!settings_problem.empty()) // said once the window is up
        QTimer::singleShot(0, this, [this, text = from_gbk(settings_problem)] { message(text); });
    if (state_.snapshot().mysql_mode()) {
        mysql_radio_->setChecked(true);
        mysql_group_->setVisible(true);
    } else {
        local_radio_->setChecked(true);
    }
    arrange_settings_page();
    // Its uploads show on the records page at once, as the window's thread gets to them.
    editor_server_ = std::make_unique<WindowUploadServer>(
        state_, channel_, [channel = channel_, window = this](const UploadRecord& record) {
            channel->post([window, record] { window->add_record_row(record); });
        });
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
    groups_->show_server_running(editor_server_->port() != 0);
    if (!failure.empty())
        message(QStringLiteral("编辑器上传服务未能启动：") +
                QString::fromStdString(server_failure_in_chinese(failure)));
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
    else if (index == 2 && records_->rowCount() == 0)
        load_record_list();
}

void MainWindow::fill_settings_page() {
    const SettingsPage page = store_.read_page();
    profile_->fill(page);
    server_box_->setText(from_gbk(page.server));
    port_box_->setText(from_gbk(page.port));
    user_box_->setText(from_gbk(page.database_user));
    password_box_->setText(from_gbk(page.database_password));
    database_box_->setText(from_gbk(page.database_name));
    groups_->fill(page);
}

void MainWindow::save_settings() {
    SettingsPage page;
    profile_->collect(page);
    page.server = to_gbk(server_box_->text());
    page.port = to_gbk(port_box_->text());
    page.database_user = to_gbk(user_box_->text());
    page.database_password = to_gbk(password_box_->text());
    page.database_name = to_gbk(database_box_->text());
    groups_->collect(page);
    const SaveResult result = store_.save(page, mysql_radio_->isChecked(), state_);
    if (result.gitee_saved)
        register_drop_target();
    // Saved all the same: the user hears of it with the outcome, in one box.
    QString said = from_gbk(result.message);
    if (!result.warning.empty())
        said += QLatin1Char('\n') + from_gbk(result.warning);
    message(said);
    if (result.gitee_saved)
        apply_editor_server();
    if (result.saved)
        tabs_->setCurrentIndex(0);
}

void MainWindow::choose_mysql_mode() {
    mysql_group_->setVisible(true);
    arrange_settings_page();
    store_.choose_mysql_mode(state_);
}

void MainWindow::choose_local_mode() {
    mysql_group_->setVisible(false);
    arrange_settings_page();
}

void MainWindow::set_busy(QPushButton* button, bool busy) {
    button->setEnabled(!busy);
    if (busy)
        button->setCursor(Qt::BusyCursor);
    else
        button->unsetCursor();
}

void MainWindow::test_mysql_connection() {
    if (!test_button_->isEnabled())
        return;
    MysqlSettings settings{to_gbk(server_box_->text()), port_number(to_gbk(port_box_->text())),
                           to_gbk(user_box_->text()), to_gbk(password_box_->text()), to_gbk(database_box_->text())};
    // A server that does not answer takes the connection's whole time-out; the window keeps going meanwhile.
    set_busy(test_button_, true);
    const bool started = start_thread([channel = channel_, window = this, settings = std::move(settings)] {
        const MysqlOutcome outcome = MysqlRecordStore(settings).check_connection();
        channel->post([window, ok = outcome.ok, error = to_utf8(outcome.error)] {
            window->finish_mysql_test(ok, error);
        });
    });
    if (!started)
        finish_mysql_test(false, {});
}

void MainWindow::finish_mysql_test(bool connected, const std::string& error) {
    set_busy(test_button_, false);
    // The client library's own words follow, shortened, as the command line gives them.
    message(connected ? QStringLiteral("Success") : QString::fromStdString(reason_with_original("Error", error)));
}

// ---- uploads

// A single file whose name is no picture's is refused at once, whether dropped or chosen; of several, each refusal
// is named at the end of the batch.
bool MainWindow::refuse_single_non_picture(const QStringList& paths) {
    if (paths.size() != 1 || is_picture_extension(picture_extension(paths.front().toStdString())))
        return false;
    drop_area_->set_picture(default_drop_picture());
    message(from_gbk(wrong_type_reason()));
    return true;
}

void MainWindow::on_file_dropped(const QStringList& paths) {
    if (paths.isEmpty() || refuse_single_non_picture(paths))
        return;
    std::vector<BatchPicture> pictures;
    for (const QString& path : paths)
        pictures.push_back({BatchPicture::Source::dropped, to_path(path), {}});
    start_upload(std::move(pictures));
}

void MainWindow::on_drop_area_double_clicked() {
    if (!state_.snapshot().gitee_known()) {
        message(QStringLiteral("请先填写配置！"));
        return;
    }
    const QStringList paths = dialogs().open_files(this, file_dialog_->property("filter").toString());
    // The filter is only a suggestion: a dialog also takes a name typed in.
    if (refuse_single_non_picture(paths))
        return;
    std::vector<BatchPicture> pictures;
    for (const QString& path : paths)
        pictures.push_back({BatchPicture::Source::chosen, to_path(path), {}});
    if (!pictures.empty())
        start_upload(std::move(pictures));
}

void MainWindow::paste_upload() {
    if (!state_.snapshot().gitee_known()) {
        message(QStringLiteral("请先填写配置！"));
        return;
    }
    const ClipboardPicture picture = read_clipboard_picture();
    if (!picture.error.empty()) {
        message(from_gbk(picture.error));
        return;
    }
    if (!picture.files.empty()) {
        QStringList paths;
        for (const std::filesystem::path& file : picture.files) {
            const std::u8string utf8 = file.u8string();
            paths << QString::fromUtf8(reinterpret_cast<const char*>(utf8.data()), static_cast<qsizetype>(utf8.size()));
        }
        on_file_dropped(paths);
        return;
    }
    if (picture.png.empty()) {
        message(from_gbk(clipboard_empty_reason()));
        return;
    }
    start_upload({{BatchPicture::Source::bitmap, {}, picture.png}});
}

void MainWindow::start_upload(std::vector<BatchPicture> pictures) {
    // The worker gets its own copies: the settings as they are now and the pictures.
    const StateSnapshot snapshot = state_.snapshot();
    BatchOptions options;
    options.link_format = snapshot.link_format;
    options.compress = snapshot.compress;
    auto ask = [window = this](const QString& name, std::uint64_t size, bool offer_compress) {
        return window->ask_large_picture(name, size, offer_compress);
    };
    UploadContext context = upload_context(snapshot, program_dir());
    // The default branch an upload learns is saved by the window's thread, the only writer of settings.
    context.branch_learned = [channel = channel_, window = this,
                              used = RepositoryProfile(context)](const std::string& branch) {
        channel->post([window, used, branch] { window->store_.remember_branch(used, branch, &window->state_); });
    };
    start_thread(
        [context = std::move(context), options, pictures = std::move(pictures),
         reporter = std::make_shared<WindowReporter>(channel_, url_box_, drop_area_, upload_progress_, ask)]() mutable {
            // A service that asks to wait says so in the address box; the batch goes on after the wait.
            context.wait_notice = [reporter](const std::string& text) { reporter->show_status(text); };
            upload_picture_batch(context, options, pictures, *reporter);
        });
}

LargePictureAnswer MainWindow::ask_large_picture(const QString& name, std::uint64_t size, bool offer_compress) {
    const QString megabytes = QString::number(static_cast<double>(size) / (1024.0 * 1024.0), 'f', 1);
    const QString text = QStringLiteral("“%1”有 %2 MB，大于1MB：没有登录的访问者看不到超过1MB的原图，"
                                        "它在博客等网页上会显示不出来。仍然上传吗？")
                             .arg(name, megabytes);
    const LargePictureAnswer answer = dialogs().ask_large_picture(this, text, offer_compress);
    if (answer.compress && offer_compress) {
        const std::string failure = store_.save_compress(true, state_);
        if (!failure.empty())
            message(from_gbk(failure));
    }
    return answer;
}

// ---- record list

void MainWindow::clear_rows() {
    // Writes still queued by an earlier check belong to rows that are gone.
    ++list_generation_;
    stop_link_check();
    records_->clear();
}

void MainWindow::load_record_list() {
    // Rows already on their way come with the options in force when they arrive.
    if (listing_)
        return;
    const StateSnapshot snapshot = state_.snapshot();
    if (!mysql_radio_->isChecked()) {
        show_record_rows(list_generation_,
                         load_record_rows(false, snapshot.mysql, snapshot.machine_code, program_dir()));
        return;
    }
    // A MySQL server that does not answer holds the listing for the connection's whole time-out.
    listing_ = true;
    set_busy(refresh_button_, true);
    const std::uint64_t generation = list_generation_;
    const bool started =
        start_thread([channel = channel_, window = this, generation, snapshot, directory = program_dir()] {
            std::vector<UploadRecord> records =
                load_record_rows(true, snapshot.mysql, snapshot.machine_code, directory);
            channel->post([window, generation, records = std::move(records)]() mutable {
                window->show_record_rows(generation, std::move(records));
            });
        });
    if (!started)
        show_record_rows(generation, {});
}

void MainWindow::show_record_rows(std::uint64_t generation, std::vector<UploadRecord> records) {
    if (listing_) {
        listing_ = false;
        set_busy(refresh_button_, false);
    }
    // The list was emptied (a clear) while these rows were read: they are no longer its rows.
    if (generation != list_generation_)
        return;
    const bool every_row = std::exchange(check_every_row_, false);
    records_->set_records(std::move(records));
    // A damaged status file reads as empty and is replaced by the next save.
    records_->show_remembered(link_status_file_path(program_dir()));
    start_link_check(every_row);
}

void MainWindow::refresh_record_list() {
    if (listing_)
        return;
    view_top_row_ = std::max(0, list_->indexAt(QPoint(1, 1)).row());
    clear_rows();
    preview_->setVisible(false);
    preview_close_->setVisible(false);
    check_every_row_ = true;
    load_record_list();
}

int MainWindow::selected_row() const {
    const QModelIndexList selected = list_->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.front().row();
}

void MainWindow::on_list_context_menu() {
    const int row = selected_row();
    if (row < 0)
        return;
    // Only a picture the service lost can be brought back.
    restore_action_->setVisible(records_->status(row) == LinkStatus::expired);
    menu_->popup(QCursor::pos() + QPoint(3, 3));
}

void MainWindow::copy_selected_address() {
    const int row = selected_row();
    if (row < 0)
        return;
    // No file name is recorded; the digest names the picture.
    const UploadRecord& record = records_->record(row);
    QApplication::clipboard()->setText(QString::fromStdString(
        link_text(state_.snapshot().link_format, to_utf8(record.ImgUrl), to_utf8(record.ImgMd5))));
    // The menu closes without a trace otherwise; the note fades after a moment, a later copy keeping it longer.
    copy_note_->setText(QStringLiteral("已复制"));
    const std::uint64_t note = ++copy_note_generation_;
    QTimer::singleShot(2000, copy_note_, [this, note] {
        if (note == copy_note_generation_)
            copy_note_->clear();
    });
}

QString MainWindow::row_tooltip(int row) const {
    return record_tooltip(records_->record(row), records_->checked_at(row), unix_now(), program_dir());
}

void MainWindow::request_preview() {
    const int row = selected_row();
    if (row >= 0 && records_->status(row) == LinkStatus::expired) {
        message(QStringLiteral("链接已失效"));
        return;
    }
    if (row < 0)
        return;
    const std::uint64_t generation = ++preview_generation_;
    start_thread([channel = channel_, window = this, generation, address = records_->record(row).ImgUrl] {
        // The address comes from the record store, and its server decides how much it sends.
        WinInetRequestOptions options;
        options.max_body_bytes = kDefaultPictureLimit;
        WinInetResponse response;
        const std::string data = wininet_request(address, options, response);
        channel->post([window, generation, bytes = QByteArray::fromStdString(data),
                       failure = QString::fromStdString(preview_failure(response, data))] {
            window->show_preview(generation, bytes, failure);
        });
    });
}

void MainWindow::show_preview(std::uint64_t generation, const QByteArray& bytes, const QString& failure) {
    // Of two previews running at once, the one asked for last is the one shown.
    if (generation != preview_generation_)
        return;
    if (!failure.isEmpty()) {
        message(QStringLiteral("预览失败：") + failure);
        return;
    }
    preview_->set_picture(bytes);
    preview_->setVisible(true);
    preview_close_->setVisible(true);
    preview_->raise();
    preview_close_->raise();
}

// ---- clearing

void MainWindow::on_clear_clicked() {
    if (!clear_button_->isEnabled())
        return;
    if (!dialogs().ask_yes_no(this, QStringLiteral("请确定是否清空仓库？(该操作不可恢复，请谨慎操作！)"),
                              QStringLiteral("操作")))
        return;
    // The request and a MySQL server may each take their whole time-out; the window keeps going meanwhile.
    set_busy(clear_button_, true);
    const bool started = start_thread([channel = channel_, window = this, snapshot = state_.snapshot(),
                                       mysql = mysql_radio_->isChecked(), directory = program_dir()] {
        const std::unique_ptr<HostingService> service = open_hosting_service(snapshot.repository());
        ClearOutcome outcome;
        outcome.reason = service->profile_problem();
        if (outcome.reason.empty())
            outcome = service->clear();
        RecordRemoval removal;
        if (outcome.ok)
            removal = remove_all_records(mysql, snapshot.mysql, directory);
        channel->post([window, outcome, removal, page = service->repository_page()] {
            window->finish_clear(outcome, removal, page);
        });
    });
    if (!started)
        finish_clear({}, {}, {});
}

void MainWindow::finish_clear(const ClearOutcome& outcome, const RecordRemoval& removal,
                              const std::string& repository_page) {
    set_busy(clear_button_, false);
    if (!outcome.ok) {
        message(QStringLiteral("清空失败") +
                (outcome.reason.empty() ? QString() : QStringLiteral("：") + from_gbk(outcome.reason)));
        return;
    }
    clear_rows();
    view_top_row_ = 0;
    message(QStringLiteral("清空成功！请手动进行仓库初始化！"));
    // Records left behind would hand out addresses of files that no longer exist instead of uploading again.
    if (!removal.ok)
        message(QStringLiteral("但记录删除失败！") + from_gbk(removal.error));
    dialogs().open_url(from_gbk(repository_page));
}

} // namespace velpic
