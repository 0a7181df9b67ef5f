// Controls created at a fixed place and size under their form names, the way the window lays out its pages.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

namespace velpic {

template <class W> inline W* place(W* widget, const char* name, int x, int y, int w, int h) {
    widget->setObjectName(QString::fromUtf8(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

inline QLabel* label(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h) {
    return place(new QLabel(text, parent), name, x, y, w, h);
}

inline QLineEdit* edit(QWidget* parent, const char* name, int x, int y, int w, int h, bool password = false) {
    auto* box = place(new QLineEdit(parent), name, x, y, w, h);
    if (password)
        box->setEchoMode(QLineEdit::Password);
    return box;
}

inline QPushButton* button(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h) {
    return place(new QPushButton(text, parent), name, x, y, w, h);
}

} // namespace velpic
