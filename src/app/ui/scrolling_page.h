// A tab page whose canvas is taller than the page: it scrolls vertically, and at the top the canvas's origin lies
// at the tab control's origin, as the other pages' canvases do, so controls keep their places relative to it.
#pragma once

#include <QScrollArea>

class QTabWidget;

namespace velpic {

class ScrollingPage final : public QScrollArea {
public:
    ScrollingPage(QTabWidget* tabs, QSize canvas_size);

    QWidget* canvas() const { return canvas_; }
    // The canvas grows or shrinks with what it holds; the part in view stays where it is when it can.
    void set_canvas_height(int height);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Places the canvas under the page's own offset within the tab control (which depends on the tab bar's font).
    void align();
    // A wheel turned while the pointer passes over a choice or a number scrolls the page; only a field the user
    // clicked into (or tabbed to) takes it, so scrolling never changes a setting unseen.
    void guard_fields_from_wheel();

    QTabWidget* tabs_;
    QWidget* content_; // what scrolls: the canvas less the part hidden under the tab bar
    QWidget* canvas_;
};

} // namespace velpic
