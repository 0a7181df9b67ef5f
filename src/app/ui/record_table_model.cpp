#include "app/ui/record_table_model.h"

#include "app/ui/ui_text.h"
#include "records/link_status_memory.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>

namespace velpic {

namespace {

const QString& status_text(LinkStatus status) {
    static const std::array<QString, 6> texts = {
        from_gbk(link_status_text(LinkStatus::pending)), from_gbk(link_status_text(LinkStatus::checking)),
        from_gbk(link_status_text(LinkStatus::valid)),   from_gbk(link_status_text(LinkStatus::expired)),
        from_gbk(link_status_text(LinkStatus::failed)),  from_gbk(link_status_text(LinkStatus::abnormal)),
    };
    return texts[static_cast<std::size_t>(status)];
}

std::size_t link_hash(std::string_view digest, std::string_view address) {
    const std::size_t a = std::hash<std::string_view>{}(digest);
    return a ^ (std::hash<std::string_view>{}(address) + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
}

bool is_found(LinkStatus status) {
    return status != LinkStatus::pending && status != LinkStatus::checking;
}

} // namespace

RecordTableModel::RecordTableModel(QObject* parent)
    : QAbstractTableModel(parent), records_(std::make_shared<const std::vector<UploadRecord>>()) {}

void RecordTableModel::set_records(std::vector<UploadRecord> records) {
    beginResetModel();
    rows_.assign(records.size(), Row{});
    records_ = std::make_shared<const std::vector<UploadRecord>>(std::move(records));
    endResetModel();
}

void RecordTableModel::clear() {
    set_records({});
}

void RecordTableModel::append_record(const UploadRecord& record) {
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    auto records = std::make_shared<std::vector<UploadRecord>>(*records_);
    records->push_back(record);
    records_ = std::move(records);
    rows_.push_back(Row{});
    endInsertRows();
}

void RecordTableModel::remove_row(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    auto records = std::make_shared<std::vector<UploadRecord>>(*records_);
    records->erase(records->begin() + row);
    records_ = std::move(records);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
    // The numbers of the rows below it are their places.
    if (row < rowCount())
        Q_EMIT dataChanged(index(row, column_number), index(rowCount() - 1, column_number), {Qt::DisplayRole});
}

void RecordTableModel::set_status(int row, LinkStatus status, std::int64_t checked_at, bool remembered) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size())
        return;
    Row& state = rows_[static_cast<std::size_t>(row)];
    state.status = status;
    if (is_found(status)) {
        state.checked_at = checked_at;
        state.unsaved = !remembered;
    }
    const QModelIndex cell = index(row, column_status);
    Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole});
}

void RecordTableModel::show_remembered(const std::filesystem::path& status_file) {
    if (rows_.empty())
        return;
    // Rows by the hash of digest and address: 16 bytes a row.
    std::vector<std::pair<std::size_t, std::uint32_t>> by_hash;
    by_hash.reserve(rows_.size());
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        const UploadRecord& record = (*records_)[row];
        by_hash.emplace_back(link_hash(record.ImgMd5, record.ImgUrl), static_cast<std::uint32_t>(row));
    }
    std::sort(by_hash.begin(), by_hash.end());
    LinkStatusMemory::visit(
        status_file, [&](std::string_view digest, std::string_view address, const RememberedLink& link) {
            const std::size_t hash = link_hash(digest, address);
            // The same picture may be recorded twice; every row of it takes the status.
            for (auto it = std::lower_bound(by_hash.begin(), by_hash.end(), std::make_pair(hash, std::uint32_t{0}));
                 it != by_hash.end() && it->first == hash; ++it) {
                const UploadRecord& record = (*records_)[it->second];
                Row& state = rows_[it->second];
                if (record.ImgMd5 == digest && record.ImgUrl == address && state.checked_at <= link.checked_at)
                    state = Row{link.checked_at, link.status, false};
            }
        });
    Q_EMIT dataChanged(index(0, column_status), index(static_cast<int>(rows_.size()) - 1, column_status),
                       {Qt::DisplayRole});
}

void RecordTableModel::take_found(LinkStatusMemory& memory) {
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        Row& state = rows_[row];
        if (!state.unsaved)
            continue;
        state.unsaved = false;
        const UploadRecord& record = (*records_)[row];
        memory.remember(record.ImgMd5, record.ImgUrl, state.status, state.checked_at);
    }
}

int RecordTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : column_count;
}

QVariant RecordTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size()))
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole: {
        const UploadRecord& record = (*records_)[row];
        switch (index.column()) {
        case column_number:
            return QString::number(index.row() + 1);
        case column_digest:
            return from_gbk(record.ImgMd5);
        case column_type:
            return from_gbk(record.ImgType);
        case column_address:
            return from_gbk(record.ImgUrl);
        case column_status:
            return status_text(rows_[row].status);
        default:
            return {};
        }
    }
    case Qt::TextAlignmentRole:
        if (index.column() == column_status)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        return {};
    case Qt::ToolTipRole:
        if (tooltip_) {
            const QString text = tooltip_(index.row());
            if (!text.isEmpty())
                return text;
        }
        return {};
    default:
        return {};
    }
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole) {
        switch (section) {
        case column_digest:
            return QStringLiteral("MD5");
        case column_type:
            return QStringLiteral("TYPE");
        case column_status:
            return QStringLiteral("STATUS");
        default:
            return QString();
        }
    }
    if (role == Qt::TextAlignmentRole && section == column_status)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    return {};
}

} // namespace velpic
