// Message boxes, the open-file dialog and the shell's "open": everything the window asks of the desktop goes
// through here, so tests can answer in advance and see what was asked.
#pragma once

#include <QString>

class QWidget;

namespace velpic {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // An OK message; caption "信息：" unless told. owner may be null.
    virtual void message(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Yes/No question; true for Yes.
    virtual bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption) = 0;
    // filter in the "description|patterns" form; empty when the user cancels.
    virtual QString open_file(QWidget* owner, const QString& filter) = 0;
    // Hands an address to the desktop's browser; the outcome is ignored.
    virtual void open_url(const QString& url) = 0;
};

QString default_caption(); // "信息："

// The dialogs in use: the desktop's own unless a test installed others (not owned; nullptr restores).
Dialogs& dialogs();
void set_dialogs(Dialogs* replacement);

// "图片文件(*.jpg;*.png;*.gif)|*.jpg;*.png;*.gif" -> the name filter Qt's dialog reads.
QString qt_name_filter(const QString& filter);

} // namespace velpic
