// Message boxes, the open-file dialog and the shell's "open": everything the window asks of the desktop goes
// through here, so tests can answer in advance and see what was asked.
#pragma once

#include "app/ui/picture_batch.h"

#include <QString>
#include <QStringList>

class QWidget;

namespace velpic {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // An OK message; caption "信息：" unless told. owner may be null. The text is shown as it is, never as markup:
    // it may carry a server's answer.
    virtual void message(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Yes/No question; true for Yes. No is the default button: Enter must never start what is asked about.
    virtual bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Upload a picture over 1 MB anyway? With offer_compress, a check box "压缩超过1MB的图片" turns compression on.
    virtual LargePictureAnswer ask_large_picture(QWidget* owner, const QString& text, bool offer_compress) = 0;
    // filter in the "description|patterns" form; several files may be chosen at once; empty when the user cancels.
    virtual QStringList open_files(QWidget* owner, const QString& filter) = 0;
    // Hands an address to the desktop's browser; the outcome is ignored.
    virtual void open_url(const QString& url) = 0;
};

QString default_caption();  // "信息："
QString compress_caption(); // "压缩超过1MB的图片"

// The dialogs in use: the desktop's own unless a test installed others (not owned; nullptr restores).
Dialogs& dialogs();
void set_dialogs(Dialogs* replacement);

// "图片文件(*.jpg;*.png;*.gif)|*.jpg;*.png;*.gif" -> "图片文件 (*.jpg *.png *.gif)", the name filter Qt's dialog
// reads: Qt adds the patterns itself, so a description that lists them already loses its own list.
QString qt_name_filter(const QString& filter);

} // namespace velpic
