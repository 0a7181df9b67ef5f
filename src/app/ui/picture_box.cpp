#include "app/ui/picture_box.h"

#include <QBuffer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QMouseEvent>
#include <QMovie>
#include <QPixmap>
#include <QUrl>

namespace velpic {

namespace {

// Reader-wide cap in megabytes: even a picture whose header lies about its size cannot make the decoder
// allocate more than this.
constexpr int allocation_limit_mb = 256;

bool acceptable_size(QSize size) {
    return size.isValid() && size.width() <= PictureBox::max_side && size.height() <= PictureBox::max_side &&
           static_cast<qint64>(size.width()) * size.height() <= PictureBox::max_pixels;
}

} // namespace

QByteArray default_drop_picture() {
    QFile file(QStringLiteral(":/add_picture.png"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

PictureBox::PictureBox(QWidget* parent) : QLabel(parent) {
    if (QImageReader::allocationLimit() == 0 || QImageReader::allocationLimit() > allocation_limit_mb)
        QImageReader::setAllocationLimit(allocation_limit_mb);
    setAlignment(Qt::AlignCenter);
    setAcceptDrops(false);
}

PictureBox::~PictureBox() {
    clear_movie();
}

void PictureBox::clear_movie() {
    if (movie_ != nullptr) {
        setMovie(nullptr);
        movie_->stop();
        delete movie_;
        movie_ = nullptr;
    }
    delete movie_buffer_;
    movie_buffer_ = nullptr;
}

QSize PictureBox::fitted_size(QSize size) const {
    if (size.width() <= width() && size.height() <= height())
        return size;
    return size.scaled(this->size(), Qt::KeepAspectRatio);
}

QPixmap PictureBox::fitted(const QImage& image) const {
    const QSize target = fitted_size(image.size());
    if (target == image.size())
        return QPixmap::fromImage(image);
    return QPixmap::fromImage(image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void PictureBox::set_picture(const QByteArray& bytes) {
    bytes_ = bytes;
    clear_movie();
    clear();
    if (bytes.isEmpty())
        return;

    QBuffer probe_buffer;
    probe_buffer.setData(bytes);
    probe_buffer.open(QIODevice::ReadOnly);
    QImageReader probe(&probe_buffer);
    const QByteArray format = probe.format();
    const QSize size = probe.size();
    // The size comes from the header alone; a picture claiming more is never decoded.
    if (format.isEmpty() || (size.isValid() && !acceptable_size(size)))
        return;

    if (format == "gif" && probe.supportsAnimation() && probe.imageCount() != 1) {
        movie_buffer_ = new QBuffer;
        movie_buffer_->setData(bytes);
        movie_buffer_->open(QIODevice::ReadOnly);
        movie_ = new QMovie(movie_buffer_, "gif");
        if (!movie_->isValid() || !movie_->jumpToFrame(0) || !acceptable_size(movie_->currentImage().size())) {
            clear_movie();
            return;
        }
        const QSize frame = movie_->currentImage().size();
        if (fitted_size(frame) != frame)
            movie_->setScaledSize(fitted_size(frame));
        setMovie(movie_);
        movie_->start();
        return;
    }

    QImage image;
    if (!probe.read(&image) || image.isNull() || !acceptable_size(image.size()))
        return;
    setPixmap(fitted(image));
}

bool PictureBox::has_image() const {
    if (movie_ != nullptr)
        return movie_->isValid();
    return !pixmap().isNull();
}

void PictureBox::set_drop_target(bool accept) {
    setAcceptDrops(accept);
}

void PictureBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        Q_EMIT double_clicked();
    QLabel::mouseDoubleClickEvent(event);
}

void PictureBox::dragEnterEvent(QDragEnterEvent* event) {
    if (acceptDrops() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void PictureBox::dragMoveEvent(QDragMoveEvent* event) {
    if (acceptDrops() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void PictureBox::dropEvent(QDropEvent* event) {
    // Until the box is registered as a drop target, dropped files are not taken.
    if (!acceptDrops())
        return;
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    Q_EMIT files_dropped(paths);
}

} // namespace velpic
