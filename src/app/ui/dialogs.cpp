#include "app/ui/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QUrl>

namespace velpic {

namespace {

class DesktopDialogs final : public Dialogs {
public:
    void message(QWidget* owner, const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    }
    bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
        return box.exec() == QMessageBox::Yes;
    }
    QString open_file(QWidget* owner, const QString& filter) override {
        return QFileDialog::getOpenFileName(owner, QString(), QString(), qt_name_filter(filter));
    }
    void open_url(const QString& url) override { QDesktopServices::openUrl(QUrl(url)); }
};

Dialogs* installed = nullptr;

} // namespace

QString default_caption() {
    return QStringLiteral("信息：");
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
        entries << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

} // namespace velpic
