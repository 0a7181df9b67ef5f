// The records page's link check: a job per load of the list, its rows' statuses and its progress beside the
// buttons. A new load, a clear or closing the window stops the job before anything else happens.
#include "app/ui/controls.h"
#include "app/ui/main_window.h"
#include "app/ui/ui_text.h"
#include "records/link_check_job.h"
#include "runtime/codepage.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QTreeWidget>
#include <atomic>
#include <memory>

namespace velpic {

void MainWindow::build_link_check_controls(QWidget* canvas) {
    // Off by default: a deep check downloads every picture whole. Switching it checks the list again.
    deep_check_ = place(new QCheckBox(QStringLiteral("深度检测"), canvas), "选择框_深度检测", 250, 385, 74, 18);
    connect(deep_check_, &QCheckBox::toggled, this, &MainWindow::refresh_record_list);
    check_progress_ = label(canvas, "标签_检测进度", QString(), 116, 385, 130, 18);
    check_progress_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void MainWindow::start_link_check() {
    stop_link_check();
    const std::uint64_t generation = ++list_generation_;
    std::vector<LinkTarget> targets;
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list_->topLevelItem(row);
        targets.push_back(
            {to_gbk(item->text(column_address)), to_gbk(item->text(column_type)), to_gbk(item->text(column_digest))});
    }
    const int total = static_cast<int>(targets.size());
    set_check_progress(generation, 0, total);
    if (total == 0)
        return;

    LinkCheckOptions options;
    options.deep = deep_check_->isChecked();
    options.referer = to_utf8(state_.snapshot().check_referer);
    LinkCheckEvents events;
    events.started = [channel = channel_, window = this, generation,
                      checking = from_gbk(link_status_text(LinkStatus::checking))](std::size_t index) {
        channel->post([window, generation, index, checking] {
            window->set_status(generation, static_cast<int>(index), checking);
        });
    };
    events.finished = [channel = channel_, window = this, generation, total,
                       done = std::make_shared<std::atomic<int>>(0)](std::size_t index, LinkStatus status) {
        const int count = ++*done;
        channel->post([window, generation, total, count, index, text = from_gbk(link_status_text(status))] {
            window->set_status(generation, static_cast<int>(index), text);
            window->set_check_progress(generation, count, total);
        });
    };
    link_check_ = std::make_unique<LinkCheckJob>(std::move(targets), options, std::move(events));
}

void MainWindow::stop_link_check() {
    // Returns once the job's thread has left: none of its requests goes out after this.
    if (link_check_) {
        link_check_->stop();
        link_check_.reset();
    }
    if (check_progress_ != nullptr)
        check_progress_->clear();
}

void MainWindow::set_status(std::uint64_t generation, int row, const QString& status) {
    if (generation != list_generation_ || row >= list_->topLevelItemCount())
        return;
    list_->topLevelItem(row)->setText(column_status, status);
}

void MainWindow::set_check_progress(std::uint64_t generation, int done, int total) {
    if (generation != list_generation_)
        return;
    check_progress_->setText(done < total ? QStringLiteral("检测中 %1/%2").arg(done).arg(total) : QString());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    stop_link_check();
    QWidget::closeEvent(event);
}

} // namespace velpic
