// A picture box: holds the bytes of an encoded PNG, JPEG, GIF or WebP file and shows what they decode to, an animated
// GIF moving. Bytes that do not decode, or that would decode to an oversized image, leave the box empty.
#pragma once

#include <QByteArray>
#include <QLabel>
#include <QSize>
#include <QStringList>

class QBuffer;
class QMovie;

namespace velpic {

// The add-picture drawing the drop area shows when it holds no picture.
QByteArray default_drop_picture();

class PictureBox : public QLabel {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    ~PictureBox() override;

    void set_picture(const QByteArray& bytes);
    // The bytes last set, whether or not they could be shown.
    const QByteArray& picture() const { return bytes_; }
    // Whether something decoded is on show.
    bool has_image() const;
    bool is_animated() const { return movie_ != nullptr; }

    // Files dropped on the box are offered only once it accepts them (see set_drop_target).
    void set_drop_target(bool accept);
    bool is_drop_target() const { return acceptDrops(); }

    // The largest picture decoded: width and height each, and the pixel count.
    static constexpr int max_side = 16384;
    static constexpr qint64 max_pixels = 40LL * 1000 * 1000;

Q_SIGNALS:
    void double_clicked();
    // The local files dropped, in the order the drag carried them.
    void files_dropped(const QStringList& paths);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void clear_movie();
    QPixmap fitted(const QImage& image) const;
    QSize fitted_size(QSize size) const;

    QByteArray bytes_;
    QBuffer* movie_buffer_ = nullptr;
    QMovie* movie_ = nullptr;
};

} // namespace velpic
