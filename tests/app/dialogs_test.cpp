// The desktop's own dialogs, driven as a user would: what they show and what they answer.
#include "window_harness.h"

#include "app/ui/qt_translations.h"
#include "server/server_failure_text.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
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
    bool no_is_default = false;
    when_box_opens([&](QMessageBox& box) {
        format = box.textFormat();
        no_is_default = box.defaultButton() == box.button(QMessageBox::No);
        box.button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(dialogs().ask_yes_no(nullptr, QStringLiteral("<b>sure?</b>"), QStringLiteral("操作")));
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_TRUE(no_is_default) << "Enter must not answer Yes";

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

TEST(DialogTexts, TheFileFilterShowsEachPatternOnceAndServerFailuresSpeakChinese) {
    EXPECT_EQ(
        qt_name_filter(QStringLiteral("图片文件(*.png;*.jpg;*.jpeg;*.gif;*.webp)|*.png;*.jpg;*.jpeg;*.gif;*.webp")),
        QStringLiteral("图片文件 (*.png *.jpg *.jpeg *.gif *.webp)"));
    EXPECT_EQ(qt_name_filter(QStringLiteral("图片|*.png|全部|*.*")), QStringLiteral("图片 (*.png);;全部 (*.*)"));

    const std::pair<const char*, const char*> failures[] = {
        {"cannot listen on 127.0.0.1:36772: Address already in use",
         "无法在 127.0.0.1:36772 上监听：端口已被其他程序占用"},
        {"cannot listen on ::1:80: Permission denied", "无法在 ::1:80 上监听：没有使用该端口的权限"},
        {"cannot listen on 10.0.0.9:5", "无法在 10.0.0.9:5 上监听"},
        {"cannot listen on 1.2.3.4:5: Some new reason", "无法在 1.2.3.4:5 上监听：Some new reason"},
        {"cannot start the server's thread: Resource temporarily unavailable",
         "无法启动服务的线程：Resource temporarily unavailable"},
        {"something else", "something else"},
    };
    for (const auto& [english, chinese] : failures)
        EXPECT_EQ(server_failure_in_chinese(english), chinese) << english;
}
