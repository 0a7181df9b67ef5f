#include "app/ui/dialogs.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QUrl>

namespace velpic {

namespace {

// Rich text would let a service's answer (an HTML error page) lay out the program's own dialog.
void prepare(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
}

class DesktopDialogs final : public Dialogs {
public:
    void message(QWidget* owner, const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
        prepare(box);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    }
    bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
        prepare(box);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }
    LargePictureAnswer ask_large_picture(QWidget* owner, const QString& text, bool offer_compress) override {
        QMessageBox box(QMessageBox::Question, default_caption(), text, QMessageBox::Yes | QMessageBox::No, owner);
        prepare(box);
        box.setDefaultButton(QMessageBox::No);
        if (offer_compress)
            box.setCheckBox(new QCheckBox(compress_caption(), &box));
        LargePictureAnswer answer;
        answer.upload = box.exec() == QMessageBox::Yes;
        answer.compress = box.checkBox() != nullptr && box.checkBox()->isChecked();
        return answer;
    }
    QStringList open_files(QWidget* owner, const QString& filter) override {
        return QFileDialog::getOpenFileNames(owner, QString(), QString(), qt_name_filter(filter));
    }
    void open_url(const QString& url) override { QDesktopServices::openUrl(QUrl(url)); }
};

Dialogs* installed = nullptr;

} // namespace

QString default_caption() {
    return QStringLiteral("信息：");
}

QString compress_caption() {
    return QStringLiteral("压缩超过1MB的图片");
}

Dialogs& dialogs() {
    static DesktopDialogs desktop;
    return installed ? *installed : desktop;
}

void set_dialogs(Dialogs* replacement) {
    installed = replacement;
}

QString qt_name_filter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        QString description = parts[i];
        if (description.endsWith(QLatin1Char(')')) && description.contains(QLatin1Char('(')))
            description.truncate(description.lastIndexOf(QLatin1Char('(')));
        entries << description.trimmed() + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

} // namespace velpic
