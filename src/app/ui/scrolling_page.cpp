#include "app/ui/scrolling_page.h"

#include <QEvent>
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
    return QScrollArea::event(event);
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
