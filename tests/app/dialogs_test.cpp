// The desktop's own dialogs, driven as a user would: what they show and what they answer.
#include "window_harness.h"

#include "app/ui/qt_translations.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <functional>

using namespace velpic;
using namespace velpic::test;

namespace {

// Runs act on the next message box once it is up (it runs its own event loop meanwhile); act must close it.
void when_box_opens(std::function<void(QMessageBox&)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        timer->stop();
        timer->deleteLater();
        act(*box);
    });
    timer->start();
}

QString shown_text(QMessageBox& box) {
    for (QLabel* label : box.findChildren<QLabel*>()) {
        if (label->objectName() == QStringLiteral("qt_msgbox_label"))
            return label->text();
    }
    return {};
}

class DesktopDialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        set_dialogs(nullptr);
    }
};

} // namespace

TEST_F(DesktopDialogsTest, AServersHtmlIsShownAsTextInEveryKindOfBox) {
    const QString answer = QStringLiteral("上传失败！[错误原因：<html><h1>502 Bad Gateway</h1><!-- hidden --></html>]");
    Qt::TextFormat format = Qt::RichText;
    QString text;
    when_box_opens([&](QMessageBox& box) {
        format = box.textFormat();
        text = shown_text(box);
        box.button(QMessageBox::Ok)->click();
    });
    dialogs().message(nullptr, answer, default_caption());
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(text, answer);

    format = Qt::RichText;
    when_box_opens([&](QMessageBox& box) {
        format = box.textFormat();
        box.button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(dialogs().ask_yes_no(nullptr, QStringLiteral("<b>sure?</b>"), QStringLiteral("操作")));
    EXPECT_EQ(format, Qt::PlainText);

    // The large-picture question: Yes with the compression box ticked; without the offer there is no box.
    format = Qt::RichText;
    QString box_caption;
    when_box_opens([&](QMessageBox& box) {
        format = box.textFormat();
        ASSERT_NE(box.checkBox(), nullptr);
        box_caption = box.checkBox()->text();
        box.checkBox()->setChecked(true);
        box.button(QMessageBox::Yes)->click();
    });
    LargePictureAnswer large = dialogs().ask_large_picture(nullptr, QStringLiteral("“<i>a</i>.png”"), true);
    EXPECT_TRUE(large.upload);
    EXPECT_TRUE(large.compress);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(box_caption, QStringLiteral("压缩超过1MB的图片"));
    bool had_box = true;
    when_box_opens([&](QMessageBox& box) {
        had_box = box.checkBox() != nullptr;
        box.button(QMessageBox::No)->click();
    });
    large = dialogs().ask_large_picture(nullptr, QStringLiteral("x"), false);
    EXPECT_FALSE(had_box);
    EXPECT_FALSE(large.upload);
    EXPECT_FALSE(large.compress);
}

TEST_F(DesktopDialogsTest, QtsOwnButtonsAndTheFileDialogSpeakChinese) {
    ASSERT_TRUE(install_qt_translations()) << "qtbase_zh_CN is missing: install qt6-translations-l10n";
    EXPECT_TRUE(install_qt_translations()); // a second time changes nothing
    EXPECT_EQ(QFileDialog::tr("Open"), QStringLiteral("打开"));
    QString yes;
    when_box_opens([&](QMessageBox& box) {
        yes = box.button(QMessageBox::Yes)->text();
        box.button(QMessageBox::No)->click();
    });
    dialogs().ask_yes_no(nullptr, QStringLiteral("?"), QStringLiteral("操作"));
    EXPECT_TRUE(yes.startsWith(QStringLiteral("是"))) << yes.toStdString();
}
