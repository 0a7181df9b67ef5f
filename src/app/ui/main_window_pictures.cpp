// The records page's work on single pictures: delete and restore from the menu, and rows of records that the
// editors' server stores while the list is on screen. The service is asked on a worker; its outcome comes back to
// the window's thread through the channel.
#include "app/ui/dialogs.h"
#include "app/ui/main_window.h"
#include "app/ui/ui_text.h"
#include "records/link_check_job.h"
#include "records/link_status_memory.h"
#include "records/record_list.h"
#include "runtime/program_dir.h"
#include "runtime/thread_start.h"
#include "upload/picture_delete.h"
#include "upload/picture_restore.h"

#include "app/ui/record_table_model.h"

#include <QTreeView>

namespace velpic {

void MainWindow::delete_selected_picture() {
    const int row = selected_row();
    if (row < 0)
        return;
    const QString digest = from_gbk(records_->record(row).ImgMd5);
    if (!dialogs().ask_yes_no(this,
                              QStringLiteral("确定删除这张图片吗？仓库中的文件、它的记录和本地存档都会删除，"
                                             "用到它的网页将显示不出来。(仓库的历史中仍保留该文件)"),
                              QStringLiteral("操作")))
        return;
    const bool started = start_thread(
        [channel = channel_, window = this, digest, context = upload_context(state_.snapshot(), program_dir())] {
            const DeleteOutcome outcome = delete_picture(context, to_gbk(digest), false);
            channel->post([window, digest, summary = from_gbk(delete_summary(outcome)), ok = outcome.ok] {
                window->finish_delete(digest, summary, ok);
            });
        });
    if (!started)
        message(QStringLiteral("删除失败：无法启动线程"));
}

void MainWindow::finish_delete(const QString& digest, const QString& summary, bool removed) {
    if (removed) {
        if (const int row = row_of_digest(digest); row >= 0) {
            // A running check names rows by their places, which move: it starts again on the rows still to check.
            const bool checking = link_check_ != nullptr;
            if (checking)
                stop_link_check();
            records_->remove_row(row);
            // Stopping saved what the check had found, the deleted row's status with it.
            if (checking)
                LinkStatusMemory::forget(link_status_file_path(program_dir()), to_gbk(digest));
            if (checking)
                start_link_check(false);
        }
    }
    message(summary);
}

void MainWindow::restore_selected_picture() {
    const int row = selected_row();
    if (row < 0)
        return;
    const QString digest = from_gbk(records_->record(row).ImgMd5);
    const bool started = start_thread(
        [channel = channel_, window = this, digest, context = upload_context(state_.snapshot(), program_dir())] {
            const RestoreOutcome outcome = restore_picture(context, to_gbk(digest));
            channel->post([window, digest, summary = from_gbk(restore_summary(outcome)), ok = outcome.ok()] {
                window->finish_restore(digest, summary, ok);
            });
        });
    if (!started)
        message(QStringLiteral("恢复失败：无法启动线程"));
}

void MainWindow::finish_restore(const QString& digest, const QString& summary, bool restored) {
    if (restored) {
        if (const int row = row_of_digest(digest); row >= 0)
            records_->set_status(row, LinkStatus::valid, unix_now());
    }
    message(summary);
}

int MainWindow::row_of_digest(const QString& digest) const {
    const std::string wanted = to_gbk(digest);
    for (int row = 0; row < records_->rowCount(); ++row)
        if (records_->record(row).ImgMd5 == wanted)
            return row;
    return -1;
}

void MainWindow::add_record_row(const UploadRecord& record) {
    // An empty list is loaded whole on the page's next visit, this record with it.
    if (records_->rowCount() == 0 || row_of_digest(from_gbk(record.ImgMd5)) >= 0)
        return;
    records_->append_record(record);
}

} // namespace velpic
