#include "app/ui/press_label.h"

#include <QMouseEvent>

namespace velpic {

void PressLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        Q_EMIT pressed();
    QLabel::mousePressEvent(event);
}

} // namespace velpic
