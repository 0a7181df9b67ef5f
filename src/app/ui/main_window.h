// The main window "Velpicv1.5": a three-page tab control ("上传", "配置", "记录") whose controls keep the
// places, sizes and names of the original form, and the handlers that bind their events to the core.
#pragma once

#include "settings/app_state.h"
#include "app/ui/picture_batch.h"
#include "settings/settings_store.h"
#include "app/ui/ui_channel.h"
#include "records/record_list.h"
#include "records/upload_record.h"
#include "upload/clear_repository.h"

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTreeView;

namespace velpic {

class LinkCheckJob;
class LinkCheckOrder;
class PictureBox;
class PressLabel;
class RecordTableModel;
class ScrollingPage;
class ServiceProfileControls;
class SettingsGroupControls;
class WindowUploadServer;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // Runs the creation handler: loads the settings into state and sets the record mode.
    MainWindow(AppState& state, SettingsStore store, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The tab control's size, which the window takes.
    static constexpr int tab_width = 416;
    static constexpr int tab_height = 408;

    // The list's columns.
    enum Column { column_number = 0, column_digest = 1, column_type = 2, column_address = 3, column_status = 4 };

    // Page-changed handler of the tab control.
    void on_page_changed(int index);
    // Files dropped on the drop area (or pasted): each is uploaded in turn.
    void on_file_dropped(const QStringList& paths);
    void on_drop_area_double_clicked();
    // Ctrl+V on the upload page and "粘贴上传": the clipboard's bitmap as PNG, or its copied files.
    void paste_upload();
    void load_record_list();
    void refresh_record_list();
    void on_clear_clicked();
    // Records page menu: "删除图片" asks first (default 否), then takes the picture down on a worker; "恢复图片"
    // commits an 已失效 row's picture again from the archive.
    void delete_selected_picture();
    void restore_selected_picture();
    // A record stored meanwhile (the editors' server) joins a list that is on screen, unless it is there already.
    void add_record_row(const UploadRecord& record);
    // The port the editors' upload server listens on; 0 while it is off.
    int editor_server_port() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void build_upload_page(QWidget* canvas);
    void build_settings_page(QWidget* canvas);
    void build_records_page(QWidget* canvas);
    void register_drop_target();

    void fill_settings_page();
    // Places what lies below the record mode: the MySQL group when shown, the buttons, the groups under them.
    void arrange_settings_page();
    void save_settings();
    void choose_mysql_mode();
    void choose_local_mode();
    void test_mysql_connection();
    // Brings the editors' upload server in line with the settings in force; says so when it cannot start.
    void apply_editor_server();

    bool refuse_single_non_picture(const QStringList& paths);
    void start_upload(std::vector<BatchPicture> pictures);
    // The question about a picture over 1 MB; turning compression on here saves it as the settings page would.
    LargePictureAnswer ask_large_picture(const QString& name, std::uint64_t size, bool offer_compress);

    void build_link_check_controls(QWidget* canvas);
    // The rows to check: those whose status is missing or older than the age limit (all with every_row or a deep
    // check), the rows in view first.
    std::vector<int> rows_to_check(bool every_row);
    void start_link_check(bool every_row);
    // The rows now in view go to the front of what the running check has left.
    void prefer_rows_in_view();
    // The first and last rows the list shows.
    std::pair<int, int> rows_in_view() const;
    void stop_link_check();
    // Puts what the checks found into the status file; in_background: on a worker.
    void save_link_statuses(bool in_background);
    // Row row's status, unless the list was loaded again since generation.
    void set_status(std::uint64_t generation, int row, LinkStatus status, std::int64_t checked_at = 0);
    void set_check_progress(std::uint64_t generation, int done, int total);
    void set_service_wait(std::uint64_t generation, bool waiting);
    void clear_rows();
    // The records page's menu; a row's menu appears over a selected row only.
    void build_record_menu();
    // The number column as wide as the highest row number needs; the digest column gives up what it takes.
    void fit_number_column();
    void on_list_context_menu();
    // The upload time, the age of a remembered status and the archived picture of a row.
    QString row_tooltip(int row) const;
    void copy_selected_address();
    void show_record_rows(std::uint64_t generation, std::vector<UploadRecord> records);
    void finish_mysql_test(bool connected, const std::string& error);
    void finish_delete(const QString& digest, const QString& summary, bool removed);
    void finish_restore(const QString& digest, const QString& summary, bool restored);
    int row_of_digest(const QString& digest) const;
    void finish_clear(const ClearOutcome& outcome, const RecordRemoval& removal, const std::string& repository_page);
    // A button whose work runs on a worker: it cannot be pressed again until that is done.
    static void set_busy(QPushButton* button, bool busy);
    void request_preview();
    // failure: why nothing can be shown, in the user's words; the box is left as it was.
    void show_preview(std::uint64_t generation, const QByteArray& bytes, const QString& failure);
    int selected_row() const;

    void message(const QString& text, bool owned = true);

    AppState& state_;
    SettingsStore store_;
    UiChannelPtr channel_;
    std::uint64_t list_generation_ = 0;
    std::uint64_t preview_generation_ = 0;

    QTabWidget* tabs_ = nullptr;
    PictureBox* drop_area_ = nullptr;
    QObject* file_dialog_ = nullptr;
    QLineEdit* url_box_ = nullptr;
    QLabel* upload_progress_ = nullptr;
    QMenu* drop_menu_ = nullptr;
    ScrollingPage* settings_page_ = nullptr;
    std::unique_ptr<ServiceProfileControls> profile_;
    QGroupBox* mode_group_ = nullptr;
    QPushButton* cancel_button_ = nullptr;
    QPushButton* save_button_ = nullptr;
    QLineEdit* server_box_ = nullptr;
    QLineEdit* port_box_ = nullptr;
    QLineEdit* user_box_ = nullptr;
    QLineEdit* password_box_ = nullptr;
    QLineEdit* database_box_ = nullptr;
    QRadioButton* local_radio_ = nullptr;
    QRadioButton* mysql_radio_ = nullptr;
    QGroupBox* mysql_group_ = nullptr;
    QPushButton* test_button_ = nullptr;
    QPushButton* clear_button_ = nullptr;
    QPushButton* refresh_button_ = nullptr;
    bool listing_ = false; // MySQL rows are on their way
    QTreeView* list_ = nullptr;
    RecordTableModel* records_ = nullptr;
    bool check_every_row_ = false; // the next load checks every row (刷新, 深度检测)
    int view_top_row_ = 0;         // the first row in view, kept across a refresh
    bool service_waiting_ = false; // the service asked the check to wait
    int check_done_ = 0;
    int check_total_ = 0;
    PictureBox* preview_ = nullptr;
    QPushButton* preview_close_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* restore_action_ = nullptr;
    QCheckBox* deep_check_ = nullptr;
    QLabel* check_progress_ = nullptr;
    QLabel* copy_note_ = nullptr; // "已复制" for a moment after 复制图片链接
    std::uint64_t copy_note_generation_ = 0;
    std::unique_ptr<LinkCheckJob> link_check_;
    std::shared_ptr<LinkCheckOrder> check_order_; // shared with the running check's thread
    std::thread status_saver_;       // the save at the end of a check; joined before the next save and on closing
    std::vector<QWidget*> canvases_; // one per page, origin at the tab control's origin
    std::unique_ptr<SettingsGroupControls> groups_;
    std::unique_ptr<WindowUploadServer> editor_server_;
};

} // namespace velpic
