// The records page's work on single pictures: delete and restore from the menu, and rows of records that the
// editors' server stores while the list is on screen. The service is asked on a worker; its outcome comes back to
// the window's thread through the channel.
#include "app/ui/dialogs.h"
#include "app/ui/main_window.h"
#include "app/ui/ui_text.h"
#include "records/link_check_job.h"
#include "records/record_list.h"
#include "runtime/program_dir.h"
#include "runtime/thread_start.h"
#include "upload/picture_delete.h"
#include "upload/picture_restore.h"

#include <QTreeWidget>

namespace velpic {

void MainWindow::delete_selected_picture() {
    const int row = selected_row();
    if (row < 0)
        return;
    const QString digest = list_->topLevelItem(row)->text(column_digest);
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
            delete list_->takeTopLevelItem(row);
            for (int i = row; i < list_->topLevelItemCount(); ++i)
                list_->topLevelItem(i)->setText(column_number, QString::number(i + 1));
            // A running check names rows by their places, which have moved.
            if (link_check_)
                start_link_check();
        }
    }
    message(summary);
}

void MainWindow::restore_selected_picture() {
    const int row = selected_row();
    if (row < 0)
        return;
    const QString digest = list_->topLevelItem(row)->text(column_digest);
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
            list_->topLevelItem(row)->setText(column_status, from_gbk(link_status_text(LinkStatus::valid)));
    }
    message(summary);
}

int MainWindow::row_of_digest(const QString& digest) const {
    for (int row = 0; row < list_->topLevelItemCount(); ++row)
        if (list_->topLevelItem(row)->text(column_digest) == digest)
            return row;
    return -1;
}

void MainWindow::add_record_row(const UploadRecord& record) {
    // An empty list is loaded whole on the page's next visit, this record with it.
    if (list_->topLevelItemCount() == 0 || row_of_digest(from_gbk(record.ImgMd5)) >= 0)
        return;
    append_row(record);
}

void MainWindow::append_row(const UploadRecord& record) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(column_number, QString::number(list_->topLevelItemCount()));
    item->setText(column_digest, from_gbk(record.ImgMd5));
    item->setText(column_type, from_gbk(record.ImgType));
    item->setText(column_address, from_gbk(record.ImgUrl));
    item->setText(column_status, from_gbk(link_status_text(LinkStatus::pending)));
    item->setTextAlignment(column_status, Qt::AlignCenter);
}

} // namespace velpic
