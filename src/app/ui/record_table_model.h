// The records page's rows as a table model: the records as loaded, untouched, and beside each its link status and
// when that status was found. The view asks only for the rows it shows, so a list of a hundred thousand records
// costs its records and a few bytes per row, not a widget item per cell.
#pragma once

#include "records/record_list.h"
#include "records/upload_record.h"

#include <QAbstractTableModel>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace velpic {

class LinkStatusMemory;

class RecordTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { column_number = 0, column_digest = 1, column_type = 2, column_address = 3, column_status = 4 };
    static constexpr int column_count = 5;

    using Records = std::shared_ptr<const std::vector<UploadRecord>>;
    // The tooltip of a row (rich text allowed); empty for none.
    using TooltipMaker = std::function<QString(int row)>;

    explicit RecordTableModel(QObject* parent = nullptr);

    // Replaces every row; each starts pending.
    void set_records(std::vector<UploadRecord> records);
    void clear();
    // Adds one record at the end (stored while the list is on screen); it starts pending. The records a running
    // check holds stay as they were: the list is copied, not changed in place.
    void append_record(const UploadRecord& record);
    // Takes one row out; the rows after it move up.
    void remove_row(int row);
    // Shared with a link check, which reads them while the rows stand; a new load leaves them as they were.
    const Records& records() const { return records_; }
    const UploadRecord& record(int row) const { return (*records_)[static_cast<std::size_t>(row)]; }

    LinkStatus status(int row) const { return rows_[static_cast<std::size_t>(row)].status; }
    // When the status was found, seconds since 1970 UTC; 0 while nothing has been found.
    std::int64_t checked_at(int row) const { return rows_[static_cast<std::size_t>(row)].checked_at; }
    // Sets one row's status and repaints that one cell. A found status (not pending or checking) comes with the
    // time it was found and is marked for saving unless it was read from the memory.
    void set_status(int row, LinkStatus status, std::int64_t checked_at = 0, bool remembered = false);

    // Shows what the status file remembers for each row. The file is read line by line against an index of the
    // rows, not held as a second copy of the list.
    void show_remembered(const std::filesystem::path& status_file);
    // Moves the statuses found since the last call into memory (only those).
    void take_found(LinkStatusMemory& memory);

    void set_tooltip_maker(TooltipMaker maker) { tooltip_ = std::move(maker); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Row {
        std::int64_t checked_at = 0;
        LinkStatus status = LinkStatus::pending;
        bool unsaved = false;
    };
    Records records_;
    std::vector<Row> rows_;
    TooltipMaker tooltip_;
};

} // namespace velpic
