#include "app/ui/scrolling_page.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QWheelEvent>
#include <QScrollBar>
#include <QTabWidget>

namespace velpic {

ScrollingPage::ScrollingPage(QTabWidget* tabs, QSize canvas_size)
    : tabs_(tabs), content_(new QWidget), canvas_(new QWidget(content_)) {
    canvas_->resize(canvas_size);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(false);
    // The page's own background shows through, as on the pages that do not scroll.
    viewport()->setAutoFillBackground(false);
    content_->setAutoFillBackground(false);
    setWidget(content_);
}

bool ScrollingPage::event(QEvent* event) {
    if (event->type() == QEvent::Show || event->type() == QEvent::Move || event->type() == QEvent::ParentChange)
        align();
    // Fields are added to the canvas after the page is made; by its first showing they are all there.
    if (event->type() == QEvent::Show)
        guard_fields_from_wheel();
    return QScrollArea::event(event);
}

void ScrollingPage::guard_fields_from_wheel() {
    QList<QWidget*> fields;
    for (QComboBox* box : canvas_->findChildren<QComboBox*>())
        fields << box;
    for (QAbstractSpinBox* box : canvas_->findChildren<QAbstractSpinBox*>())
        fields << box;
    for (QWidget* field : fields) {
        // Qt::WheelFocus would let the wheel itself give the field focus.
        if (field->focusPolicy() == Qt::WheelFocus)
            field->setFocusPolicy(Qt::StrongFocus);
        field->installEventFilter(this); // installing again only moves it to the front
    }
}

bool ScrollingPage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        auto* field = qobject_cast<QWidget*>(watched);
        if (field != nullptr && !field->hasFocus()) {
            // Scrolled here, as the page's scroll bar would: while the field handles its wheel event Qt hands any
            // other wheel event to the field again, so passing one on would come back here without end.
            const auto* wheel = static_cast<QWheelEvent*>(event);
            QScrollBar* bar = verticalScrollBar();
            bar->setValue(bar->value() -
                          wheel->angleDelta().y() * QApplication::wheelScrollLines() * bar->singleStep() / 120);
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}

void ScrollingPage::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    align();
}

void ScrollingPage::set_canvas_height(int height) {
    canvas_->resize(canvas_->width(), height);
    align();
}

void ScrollingPage::align() {
    const QPoint origin = tabs_->isAncestorOf(this) ? mapTo(tabs_, QPoint(0, 0)) : QPoint(0, 0);
    canvas_->move(-origin);
    const int scrolled = verticalScrollBar()->value();
    content_->resize(viewport()->width(), canvas_->height() - origin.y());
    verticalScrollBar()->setValue(scrolled);
}

} // namespace velpic
