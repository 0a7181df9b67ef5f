#include "app/ui/record_tooltip.h"

#include "app/ui/ui_text.h"
#include "records/link_status_memory.h"
#include "records/picture_archive_lookup.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QStringList>
#include <QUrl>
#include <algorithm>

namespace velpic {

namespace {

// Archived files above this are not opened for a tooltip.
constexpr qint64 kLargestThumbnailSource = 16 << 20;

// "上传时间：2021-11-27 16:00:00" from the record's milliseconds; empty when they are not a time. The record counts
// from the uploading machine's wall clock reading 1970-01-01 08:00:00, whatever its time zone (older files and
// other machines rely on that): adding them to that reading on a clock without zone gives the wall time of the
// upload back on any machine, where the machine's own zone would shift it by its distance from UTC+8.
QString upload_time_line(const std::string& milliseconds) {
    if (milliseconds.empty() || milliseconds.size() > 15 ||
        !std::all_of(milliseconds.begin(), milliseconds.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    const QDateTime base(QDate(1970, 1, 1), QTime(8, 0), Qt::UTC);
    const QDateTime when = base.addMSecs(std::stoll(milliseconds));
    return QStringLiteral("上传时间：") + when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// An <img> of the archived picture scaled into the thumbnail's square; empty when there is none to show.
QString thumbnail_tag(const UploadRecord& record, const std::filesystem::path& program_dir) {
    const std::optional<std::filesystem::path> file = archived_picture_file(program_dir, record.ImgMd5, record.ImgType);
    if (!file)
        return {};
    const QString path = QString::fromStdString(file->string());
    if (QFileInfo(path).size() > kLargestThumbnailSource)
        return {};
    // Only the header is read here; the tooltip's label reads the picture itself.
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return {};
    const QSize shown = size.width() <= kTooltipThumbnailSide && size.height() <= kTooltipThumbnailSide
                            ? size
                            : size.scaled(kTooltipThumbnailSide, kTooltipThumbnailSide, Qt::KeepAspectRatio);
    return QStringLiteral("<img src=\"%1\" width=\"%2\" height=\"%3\">")
        .arg(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toHtmlEscaped())
        .arg(std::max(1, shown.width()))
        .arg(std::max(1, shown.height()));
}

} // namespace

QString record_tooltip(const UploadRecord& record, std::int64_t checked_at, std::int64_t now,
                       const std::filesystem::path& program_dir) {
    QStringList lines;
    if (const QString uploaded = upload_time_line(record.ImgUploadTime); !uploaded.isEmpty())
        lines << uploaded;
    if (checked_at > 0)
        lines << from_gbk(checked_ago_text(checked_at, now));
    const QString thumbnail = thumbnail_tag(record, program_dir);
    if (thumbnail.isEmpty())
        return lines.join(u'\n');
    return QStringLiteral("<p style=\"white-space:pre\">") + lines.join(u'\n').toHtmlEscaped() +
           QStringLiteral("</p>") + thumbnail;
}

} // namespace velpic
