// A label that reacts the moment the left mouse button goes down over it, as the page links do.
#pragma once

#include <QLabel>

namespace velpic {

class PressLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

Q_SIGNALS:
    void pressed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace velpic
