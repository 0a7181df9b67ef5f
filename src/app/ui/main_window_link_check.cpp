// The records page's link check: a job per load of the list over the rows whose remembered status is missing or
// too old (every row after 刷新 or with 深度检测), the rows in view first; its rows' statuses, its progress beside
// the buttons, and what it found kept for the next visit. A new load, a clear or closing the window stops the job
// before anything else happens.
#include "app/ui/controls.h"
#include "app/ui/link_check_order.h"
#include "app/ui/main_window.h"
#include "app/ui/record_table_model.h"
#include "app/ui/ui_text.h"
#include "records/link_check_job.h"
#include "records/link_status_memory.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QScrollBar>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <memory>
#include <system_error>

namespace velpic {

void MainWindow::build_link_check_controls(QWidget* canvas) {
    // Off by default: a deep check downloads every picture whole. Switching it checks the list again.
    deep_check_ = place(new QCheckBox(QStringLiteral("深度检测"), canvas), "选择框_深度检测", 250, 385, 74, 18);
    connect(deep_check_, &QCheckBox::toggled, this, &MainWindow::refresh_record_list);
    // Wide enough for "检测中 99999/100000，服务器要求稍候"; the copy note keeps the start of the line.
    check_progress_ = label(canvas, "标签_检测进度", QString(), 57, 385, 189, 18);
    check_progress_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // With many rows a check takes minutes: whatever the user scrolls to is what they are waiting for.
    connect(list_->verticalScrollBar(), &QScrollBar::valueChanged, this, &MainWindow::prefer_rows_in_view);
}

std::pair<int, int> MainWindow::rows_in_view() const {
    const QRect inside = list_->viewport()->rect();
    const int first = std::max(0, list_->indexAt(QPoint(1, 1)).row());
    const QModelIndex bottom = list_->indexAt(QPoint(1, std::max(0, inside.height() - 1)));
    const int last = bottom.isValid() ? bottom.row() : records_->rowCount() - 1;
    return {first, last};
}

void MainWindow::prefer_rows_in_view() {
    if (check_order_ == nullptr || link_check_ == nullptr)
        return;
    const auto [first, last] = rows_in_view();
    check_order_->prefer(first, last);
}

std::vector<int> MainWindow::rows_to_check(bool every_row) {
    const int count = records_->rowCount();
    const int max_age = every_row || deep_check_->isChecked() ? 0 : state_.snapshot().check_max_age_hours;
    const std::int64_t now = unix_now();
    const auto stale = [&](int row) {
        const RememberedLink link{records_->status(row), records_->checked_at(row)};
        return link.checked_at == 0 || !is_fresh(&link, now, max_age);
    };
    // The view lays its rows out later: the rows it will show are those from the row kept at its top on.
    const int first = std::clamp(view_top_row_, 0, std::max(0, count - 1));
    if (count > 0)
        list_->scrollTo(records_->index(first, 0), QAbstractItemView::PositionAtTop);
    const int row_height = std::max(1, list_->fontMetrics().height());
    const int last = first + list_->viewport()->height() / row_height + 1;
    std::vector<int> rows;
    for (int row = first; row <= last && row < count; ++row)
        if (stale(row))
            rows.push_back(row);
    for (int row = 0; row < count; ++row)
        if ((row < first || row > last) && stale(row))
            rows.push_back(row);
    return rows;
}

void MainWindow::start_link_check(bool every_row) {
    stop_link_check();
    const std::uint64_t generation = ++list_generation_;
    service_waiting_ = false;
    auto rows = check_order_ = std::make_shared<LinkCheckOrder>(rows_to_check(every_row));
    const int total = static_cast<int>(rows->size());
    set_check_progress(generation, 0, total);
    if (total == 0)
        return;

    LinkCheckOptions options;
    options.deep = deep_check_->isChecked();
    options.referer = to_utf8(state_.snapshot().check_referer);
    options.per_host_rate = state_.snapshot().check_rate;
    LinkCheckEvents events;
    events.started = [channel = channel_, window = this, generation, rows](std::size_t index) {
        channel->post([window, generation, row = rows->row_at(index)] {
            window->set_status(generation, row, LinkStatus::checking);
        });
    };
    events.finished = [channel = channel_, window = this, generation, total, rows,
                       done = std::make_shared<std::atomic<int>>(0)](std::size_t index, LinkStatus status) {
        const int count = ++*done;
        channel->post([window, generation, total, count, status, row = rows->row_at(index), at = unix_now()] {
            window->set_status(generation, row, status, at);
            window->set_check_progress(generation, count, total);
        });
    };
    events.host_wait = [channel = channel_, window = this, generation](bool waiting) {
        channel->post([window, generation, waiting] { window->set_service_wait(generation, waiting); });
    };
    // The job reads the records themselves: they stand unchanged until it has stopped (a new load replaces the
    // model's list, never the one the job holds).
    LinkTargetSource target_at = [records = records_->records(), rows](std::size_t index) {
        return LinkTarget::of((*records)[static_cast<std::size_t>(rows->row_at(index))]);
    };
    link_check_ = std::make_unique<LinkCheckJob>(rows->size(), std::move(target_at), options, std::move(events));
}

void MainWindow::stop_link_check() {
    // Returns once the job's thread has left: none of its requests goes out after this.
    if (link_check_) {
        link_check_->stop();
        link_check_.reset();
    }
    check_order_.reset();
    if (check_progress_ != nullptr)
        check_progress_->clear();
    save_link_statuses(false);
}

void MainWindow::save_link_statuses(bool in_background) {
    // One save at a time, in order; the window never closes (nor the process ends) before one is written.
    if (status_saver_.joinable())
        status_saver_.join();
    if (records_ == nullptr)
        return;
    auto found = std::make_shared<LinkStatusMemory>();
    records_->take_found(*found);
    if (found->size() == 0)
        return;
    // Merging into a large file takes a moment: at the end of a check the window need not wait for it.
    auto save = [found, file = link_status_file_path(program_dir())] { found->save(file); };
    if (in_background) {
        try {
            status_saver_ = std::thread(save);
            return;
        } catch (const std::system_error&) {
        }
    }
    save();
}

void MainWindow::set_status(std::uint64_t generation, int row, LinkStatus status, std::int64_t checked_at) {
    if (generation != list_generation_ || row < 0 || row >= records_->rowCount())
        return;
    records_->set_status(row, status, checked_at);
}

void MainWindow::set_service_wait(std::uint64_t generation, bool waiting) {
    if (generation != list_generation_)
        return;
    service_waiting_ = waiting;
    set_check_progress(generation, check_done_, check_total_);
}

void MainWindow::set_check_progress(std::uint64_t generation, int done, int total) {
    if (generation != list_generation_)
        return;
    check_done_ = done;
    check_total_ = total;
    if (done >= total) {
        check_progress_->clear();
        if (total > 0)
            save_link_statuses(true);
        return;
    }
    QString text = QStringLiteral("检测中 %1/%2").arg(done).arg(total);
    if (service_waiting_)
        text += QStringLiteral("，服务器要求稍候");
    check_progress_->setText(text);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    stop_link_check();
    QWidget::closeEvent(event);
}

} // namespace velpic
