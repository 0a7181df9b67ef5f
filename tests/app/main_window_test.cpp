#include "window_harness.h"

#include "app/ui/picture_box.h"
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "runtime/service_base.h"
#include "support/test_service.h"

#include <QClipboard>
#include <QDropEvent>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTextDocumentFragment>
#include <QTreeView>
#include <QUrl>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using namespace velpic;
using namespace velpic::test;

namespace {

struct Placement {
    const char* name;
    const char* parent; // group box, or nullptr: the tab control
    int page, x, y, w, h;
    const char* caption;
};

// Places are relative to the whole tab control (headers included) or to the group box.
// A y of kBelowLastGroup: 8 pixels below the settings page's last group, whatever that group holds.
constexpr int kBelowLastGroup = -10000;
const Placement placements[] = {
    {"画板1", nullptr, 0, 9, 32, 398, 336, nullptr},
    {"编辑框_url", nullptr, 0, 7, 375, 400, 24, nullptr},
    {"标签_图床服务", nullptr, 1, 100, 34, 64, 16, "图床服务："},
    {"组合框_图床服务", nullptr, 1, 168, 32, 144, 20, nullptr},
    {"分组框1", nullptr, 1, 66, 58, 288, 236, "Gitee配置"},
    {"标签2", "分组框1", 1, 34, 24, 64, 16, "Owner："},
    {"编辑框_Owner", "分组框1", 1, 102, 24, 144, 20, nullptr},
    {"标签3", "分组框1", 1, 34, 49, 64, 16, "Repo："},
    {"编辑框_Repo", "分组框1", 1, 102, 49, 144, 20, nullptr},
    {"标签4", "分组框1", 1, 14, 73, 84, 16, "Access_Token："},
    {"编辑框_AccessToken", "分组框1", 1, 102, 73, 144, 20, nullptr},
    {"标签10", "分组框1", 1, 252, 21, 28, 24, "注册"},
    {"标签9", "分组框1", 1, 252, 70, 28, 24, "获取"},
    {"标签_密钥存放", "分组框1", 1, 14, 95, 266, 14, nullptr}, // a line of its own under the token
    {"标签_分支", "分组框1", 1, 34, 113, 64, 16, "分支："},
    {"编辑框_分支", "分组框1", 1, 102, 113, 144, 20, nullptr},
    {"标签_服务地址", "分组框1", 1, 34, 137, 64, 16, "服务地址："},
    {"编辑框_服务地址", "分组框1", 1, 102, 137, 144, 20, nullptr},
    {"标签_服务地址提示", "分组框1", 1, 102, 158, 178, 14, "注意：令牌将以明文传送"},
    {"标签_链接前缀", "分组框1", 1, 34, 174, 64, 16, "链接前缀："},
    {"编辑框_链接前缀", "分组框1", 1, 102, 174, 144, 20, nullptr},
    {"标签11", "分组框1", 1, 14, 198, 266, 34, nullptr},
    {"分组框3", nullptr, 1, 66, 296, 288, 39, "记录方式："},
    {"单选框_记录方式_本地", "分组框3", 1, 86, 12, 49, 24, "本地"},
    {"单选框_记录方式_MySQL", "分组框3", 1, 173, 11, 58, 24, "MySQL"},
    {"分组框_mysql", nullptr, 1, 66, 337, 288, 158, "MySQL配置"},
    {"标签7", "分组框_mysql", 1, 16, 24, 82, 16, "服务器地址："},
    {"编辑框_Server", "分组框_mysql", 1, 102, 24, 144, 20, nullptr},
    {"标签1", "分组框_mysql", 1, 16, 50, 82, 16, "端口："},
    {"编辑框_Prot", "分组框_mysql", 1, 102, 50, 144, 20, nullptr},
    {"标签6", "分组框_mysql", 1, 34, 80, 64, 16, "用户名："},
    {"编辑框_DataBaseUserName", "分组框_mysql", 1, 102, 80, 144, 20, nullptr},
    {"标签5", "分组框_mysql", 1, 46, 104, 52, 16, "口令："},
    {"编辑框_DataBasePassword", "分组框_mysql", 1, 102, 104, 144, 20, nullptr},
    {"标签8", "分组框_mysql", 1, 14, 128, 84, 16, "数据库："},
    {"编辑框_DatabaseName", "分组框_mysql", 1, 102, 128, 144, 20, nullptr},
    {"按钮_测试", "分组框_mysql", 1, 248, 129, 35, 20, "测试"},
    // After the last group (which starts right below the record mode in local mode: the hidden MySQL group takes no
    // room), where a user who went through the page ends up.
    {"按钮_取消", nullptr, 1, 144, kBelowLastGroup, 72, 23, "取消"},
    {"按钮_保存", nullptr, 1, 220, kBelowLastGroup, 72, 23, "保存"},
    {"超级列表框1", nullptr, 2, 7, 28, 400, 355, nullptr},
    {"按钮_清空", nullptr, 2, 327, 385, 40, 18, "清空"},
    {"按钮_刷新", nullptr, 2, 370, 385, 40, 18, "刷新"},
    {"图片框_预览", nullptr, 2, 18, 228, 144, 144, nullptr},
    {"按钮_预览_关闭", nullptr, 2, 144, 230, 16, 16, nullptr}, // inside the box
};

QString caption_of(QWidget* widget) {
    if (auto* box = qobject_cast<QGroupBox*>(widget))
        return box->title();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    return {};
}

class MainWindowTest : public WindowTest {};

} // namespace

TEST_F(MainWindowTest, EveryControlStandsAtItsPlaceWithItsCaptionAndInitialState) {
    open_window();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Velpicv1.5"));
    EXPECT_FALSE(window->windowIcon().isNull());
    QTabWidget* tab = tabs();
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(tab->geometry(), QRect(0, -1, 416, 408));
    ASSERT_EQ(tab->count(), 3);
    EXPECT_EQ(tab->tabText(0), QStringLiteral("上传"));
    EXPECT_EQ(tab->tabText(1), QStringLiteral("配置"));
    EXPECT_EQ(tab->tabText(2), QStringLiteral("记录"));
    EXPECT_EQ(tab->currentIndex(), 0);

    for (int page = 0; page < 3; ++page) {
        show_page(page);
        QApplication::processEvents();
        for (const Placement& p : placements) {
            if (p.page != page)
                continue;
            QWidget* widget = find(p.name);
            ASSERT_NE(widget, nullptr) << p.name;
            QWidget* reference = p.parent ? find(p.parent) : static_cast<QWidget*>(tab);
            const QRect place(widget->mapTo(reference, QPoint(0, 0)), widget->size());
            // The record-mode buttons moved down into their frame (see the test of the frame below).
            if (qobject_cast<QRadioButton*>(widget) != nullptr) {
                EXPECT_EQ(place.left(), p.x) << p.name;
                EXPECT_EQ(place.width(), p.w) << p.name;
            } else if (p.y == kBelowLastGroup) {
                QWidget* last = find("分组框_链接检测");
                const int below = last->mapTo(tab, QPoint(0, last->height())).y() + 8;
                EXPECT_EQ(place, QRect(p.x, below, p.w, p.h)) << p.name;
            } else {
                EXPECT_EQ(place, QRect(p.x, p.y, p.w, p.h)) << p.name;
            }
            if (p.caption) {
                EXPECT_EQ(caption_of(widget), QString::fromUtf8(p.caption)) << p.name;
            }
        }
    }

    EXPECT_TRUE(find<QLineEdit>("编辑框_url")->isReadOnly());
    EXPECT_TRUE(find<QLineEdit>("编辑框_url")->text().isEmpty());
    EXPECT_EQ(find<QLineEdit>("编辑框_AccessToken")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(find<QLineEdit>("编辑框_DataBasePassword")->echoMode(), QLineEdit::Password);
    // Over two lines when it does not fit on one.
    EXPECT_EQ(find<QLabel>("标签11")->text().remove(QLatin1Char('\n')),
              QStringLiteral("示例：") + QString::fromStdString(service_base()) +
                  QStringLiteral("[Owner]/[Repo]/raw/master/<md5>.png"));
    EXPECT_FALSE(find("分组框_mysql")->isVisibleTo(window.get()));
    EXPECT_FALSE(find("图片框_预览")->isVisibleTo(window.get()));
    EXPECT_FALSE(find("按钮_预览_关闭")->isVisibleTo(window.get()));
    EXPECT_TRUE(find<QRadioButton>("单选框_记录方式_本地")->isChecked());
    EXPECT_FALSE(find<QRadioButton>("单选框_记录方式_MySQL")->isChecked());
    EXPECT_TRUE(find<QPushButton>("按钮_预览_关闭")->text().isEmpty());
    EXPECT_FALSE(find<QPushButton>("按钮_预览_关闭")->icon().isNull());
    EXPECT_TRUE(find<PictureBox>("画板1")->has_image()); // the add-picture drawing
    EXPECT_FALSE(find<PictureBox>("画板1")->is_drop_target());

    auto* list = find<QTreeView>("超级列表框1");
    const char* headers[] = {"", "MD5", "TYPE", "", "STATUS"};
    const int widths[] = {30, 210, 60, 0, 90};
    ASSERT_EQ(list->model()->columnCount(), 5);
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(list->model()->headerData(column, Qt::Horizontal).toString(), QString::fromUtf8(headers[column]));
        if (column != 3) {
            EXPECT_EQ(list->columnWidth(column), widths[column]) << column;
        }
    }
    EXPECT_TRUE(list->isColumnHidden(3));
    // The hidden address column takes no room: the four shown columns lie side by side within the list.
    EXPECT_EQ(list->header()->sectionPosition(4), 30 + 210 + 60);
    EXPECT_LE(list->header()->length(), list->viewport()->width());
    EXPECT_EQ(list->model()->headerData(4, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(),
              Qt::AlignCenter);
    EXPECT_EQ(list->model()->rowCount(), 0);
}

TEST_F(MainWindowTest, EveryCaptionFitsItsControl) {
    open_window();
    const QStringList installed = QFontDatabase::families();
    if (!installed.contains(QStringLiteral("SimSun")) && !installed.contains(QStringLiteral("WenQuanYi Zen Hei Mono")))
        GTEST_SKIP() << "no font with the form's letter widths is installed";
    for (int page = 0; page < 3; ++page) {
        show_page(page);
        QApplication::processEvents();
        for (const Placement& p : placements) {
            if (p.page != page || p.caption == nullptr)
                continue;
            QWidget* widget = find(p.name);
            const QString caption = caption_of(widget);
            int needed = widget->fontMetrics().horizontalAdvance(caption);
            if (qobject_cast<QRadioButton*>(widget) != nullptr) // the round indicator comes first
                needed += widget->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, widget) +
                          widget->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, widget);
            EXPECT_LE(needed, widget->width()) << p.name;
        }
    }
}

TEST_F(MainWindowTest, TheLinksOpenTheirPagesWhenTheButtonGoesDown) {
    open_window();
    show_page(1);
    QTest::mousePress(find("标签10"), Qt::LeftButton);
    QTest::mousePress(find("标签9"), Qt::LeftButton);
    EXPECT_EQ(dialogs.urls, QStringList({QString::fromStdString(service_base() + "signup?from=homepage"),
                                         QString::fromStdString(service_base() + "personal_access_tokens")}));
}

TEST_F(MainWindowTest, SettingsPageShowsTheStoredValuesOnEveryVisitAndCancelOnlyLeaves) {
    store_settings("alice", "pics", "0123456789abcdef0123456789abcdef", true, "3307");
    open_window();
    auto* owner = find<QLineEdit>("编辑框_Owner");
    EXPECT_TRUE(owner->text().isEmpty()); // not filled at start
    EXPECT_TRUE(find<QRadioButton>("单选框_记录方式_MySQL")->isChecked());
    EXPECT_TRUE(find<PictureBox>("画板1")->is_drop_target());
    EXPECT_EQ(state.snapshot().machine_code, "77");

    show_page(1);
    EXPECT_TRUE(find("分组框_mysql")->isVisible());
    EXPECT_EQ(owner->text(), QStringLiteral("alice"));
    EXPECT_EQ(find<QLineEdit>("编辑框_AccessToken")->text(), QStringLiteral("0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(find<QLineEdit>("编辑框_Prot")->text(), QStringLiteral("3307"));
    EXPECT_EQ(find<QLineEdit>("编辑框_DataBasePassword")->text(), QStringLiteral("p"));

    owner->setText(QStringLiteral("typed"));
    QTest::mouseClick(find("按钮_取消"), Qt::LeftButton);
    EXPECT_EQ(tabs()->currentIndex(), 0);
    EXPECT_EQ(owner->text(), QStringLiteral("typed")); // cancel restores nothing
    show_page(1);
    EXPECT_EQ(owner->text(), QStringLiteral("alice"));

    // Choosing local hides the MySQL boxes without touching the stored mode; MySQL shows them again.
    QTest::mouseClick(find("单选框_记录方式_本地"), Qt::LeftButton);
    EXPECT_FALSE(find("分组框_mysql")->isVisible());
    EXPECT_TRUE(state.snapshot().mysql_mode());
    QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
    EXPECT_TRUE(find("分组框_mysql")->isVisible());
}

TEST_F(MainWindowTest, UpperCaseMysqlInTheFileStartsInLocalMode) {
    store_settings("alice", "pics", "tok", true);
    write_ini_value(settings_file_path(), utf8_to_gbk("记录方式"), utf8_to_gbk("方式"), "MySQL");
    open_window();
    EXPECT_TRUE(find<QRadioButton>("单选框_记录方式_本地")->isChecked());
    EXPECT_FALSE(find("分组框_mysql")->isVisibleTo(window.get()));
    EXPECT_TRUE(state.snapshot().machine_code.empty());
}

TEST_F(MainWindowTest, SettingsThatCannotBeReadAsTheyStandAreToldAndNotUsed) {
    // A NUL written by hand into the owner: cut there, it would read as "al".
    store_settings("alice", "pics", "tok");
    std::string bytes;
    {
        std::ifstream in(settings_file_path(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::size_t owner = bytes.find("Owner=alice");
    ASSERT_NE(owner, std::string::npos);
    bytes.insert(owner + 8, 1, '\0');
    std::ofstream(settings_file_path(), std::ios::binary | std::ios::trunc) << bytes;
    open_window();
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 1; }));
    EXPECT_TRUE(dialogs.messages[0].contains(QStringLiteral("Owner不能包含空字符")))
        << dialogs.messages[0].toStdString();
    EXPECT_FALSE(state.snapshot().gitee_known());
    window.reset();

    // A FIFO in the file's place: the window opens at once and says so.
    dialogs.messages.clear();
    std::filesystem::remove(settings_file_path());
    ASSERT_EQ(::mkfifo(settings_file_path().c_str(), 0600), 0);
    open_window();
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 1; }));
    EXPECT_TRUE(dialogs.messages[0].contains(QStringLiteral("不是普通文件（如管道或设备）")))
        << dialogs.messages[0].toStdString();
}

TEST_F(MainWindowTest, SaveShowsEachCheckInOrderAndReturnsToTheFirstPage) {
    open_window();
    show_page(1);
    auto click_save = [&] { QTest::mouseClick(find("按钮_保存"), Qt::LeftButton); };
    click_save();
    find<QLineEdit>("编辑框_Owner")->setText(QStringLiteral("alice"));
    click_save();
    find<QLineEdit>("编辑框_Repo")->setText(QStringLiteral("pics"));
    click_save();
    find<QLineEdit>("编辑框_AccessToken")->setText(QStringLiteral("tok"));
    QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
    click_save();
    EXPECT_EQ(dialogs.messages,
              QStringList({QStringLiteral("Owner不能为空"), QStringLiteral("Repo不能为空"),
                           QStringLiteral("AccessToken不能为空"), QStringLiteral("服务器地址不能为空")}));
    EXPECT_EQ(dialogs.captions.back(), QStringLiteral("信息："));
    EXPECT_EQ(tabs()->currentIndex(), 1);
    // The Gitee values and the mode are already stored, and the drop area takes files now.
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("Gitee配置"), "Owner"), "alice");
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("记录方式"), utf8_to_gbk("方式")), "mysql");
    EXPECT_TRUE(find<PictureBox>("画板1")->is_drop_target());

    QTest::mouseClick(find("单选框_记录方式_本地"), Qt::LeftButton);
    click_save();
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("保存成功！"));
    EXPECT_EQ(tabs()->currentIndex(), 0);
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("记录方式"), utf8_to_gbk("方式")), utf8_to_gbk("本地"));
    EXPECT_EQ(state.snapshot().access_token, "tok");
}

TEST_F(MainWindowTest, DropsTakeTheFivePictureTypesInAnyLetterCaseAndRefuseOthers) {
    TestService service;
    ASSERT_TRUE(service.running());
    qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
    store_settings("alice", "pics", "tok");
    open_window();
    auto* area = find<PictureBox>("画板1");
    const QByteArray initial = area->picture();
    auto* url = find<QLineEdit>("编辑框_url");

    area->set_picture(QByteArray::fromStdString(png_bytes(4, 4, qRgb(1, 2, 3))));
    drop_files(area, {QString::fromStdString(write_file("drawing.bmp", "BM").string())});
    EXPECT_EQ(dialogs.messages, QStringList(QStringLiteral("只能是PNG,JPG,GIF,WEBP格式的图片！")));
    EXPECT_EQ(area->picture(), initial);
    EXPECT_EQ(service.count_requests("POST"), 0u);

    // A camera's capitals are a picture; the name sent keeps them.
    const std::string picture = png_bytes(20, 10, qRgb(200, 10, 10));
    drop_files(area, {QString::fromStdString(write_file("IMG_0001.PNG", picture).string())});
    QString address = QString::fromStdString(service.download_url("alice", "pics", md5_hex(picture) + ".PNG"));
    // The address reaches the box first and the clipboard just after.
    ASSERT_TRUE(eventually([&] { return url->text() == address && QApplication::clipboard()->text() == address; }))
        << url->text().toStdString() << " / " << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(area->picture().toStdString(), picture);
    EXPECT_TRUE(area->has_image());

    // WebP goes up too, and the drop area decodes it.
    QImage image(30, 20, QImage::Format_RGB32);
    image.fill(qRgb(0, 120, 0));
    QByteArray webp;
    QBuffer buffer(&webp);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "WEBP")) << "Qt's image-format plugins are not installed";
    drop_files(area, {QString::fromStdString(write_file("leaf.webp", webp.toStdString()).string())});
    address = QString::fromStdString(service.download_url("alice", "pics", md5_hex(webp.toStdString()) + ".webp"));
    ASSERT_TRUE(eventually([&] { return url->text() == address; })) << url->text().toStdString();
    EXPECT_EQ(area->picture(), webp);
    EXPECT_TRUE(area->has_image());

    // An empty file, or one whose bytes are no picture whatever its name, is not sent: the type message, and the
    // area shows the add-picture drawing rather than nothing.
    dialogs.messages.clear();
    const std::size_t sent_before = service.count_requests("POST");
    for (const char* name : {"empty.jpg", "junk.png"}) {
        area->set_picture(webp);
        const qsizetype before = dialogs.messages.size();
        drop_files(area, {QString::fromStdString(write_file(name, name[0] == 'e' ? "" : "no picture").string())});
        ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == before + 1 && area->picture() == initial; }))
            << name;
        EXPECT_TRUE(area->has_image());
    }
    EXPECT_EQ(dialogs.messages, QStringList({QStringLiteral("只能是PNG,JPG,GIF,WEBP格式的图片！"),
                                             QStringLiteral("只能是PNG,JPG,GIF,WEBP格式的图片！")}));
    EXPECT_EQ(service.count_requests("POST"), sent_before);

    // What is no regular file (a FIFO would block the upload), or is past the 100 MB limit, is refused unread.
    const std::filesystem::path fifo = write_file("pipe.png", "").replace_filename("fifo.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path large = write_file("large.png", "");
    std::filesystem::resize_file(large, std::uint64_t{100} * 1024 * 1024 + 1); // sparse
    const std::size_t sent = service.count_requests("POST");
    dialogs.messages.clear();
    for (const std::filesystem::path& path : {fifo, large}) {
        const qsizetype before = dialogs.messages.size();
        area->set_picture(webp);
        drop_files(area, {QString::fromStdString(path.string())});
        ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == before + 1; })) << path;
        EXPECT_EQ(area->picture(), initial);
    }
    EXPECT_EQ(dialogs.messages,
              QStringList({QStringLiteral("上传失败！[错误原因：不是普通文件（如管道或设备），没有上传]"),
                           QStringLiteral("上传失败！[错误原因：图片大于 100 MB 的上限，没有上传]")}));
    EXPECT_EQ(service.count_requests("POST"), sent);
    qunsetenv("VELPIC_SERVICE_BASE");
}

TEST_F(MainWindowTest, DoubleClickAsksForSettingsThenOffersTheFileDialog) {
    TestService service;
    qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
    open_window();
    auto* area = find<PictureBox>("画板1");
    QTest::mouseDClick(area, Qt::LeftButton);
    EXPECT_EQ(dialogs.log, QStringList({QStringLiteral("message: 请先填写配置！")}));
    window.reset();

    store_settings("alice", "pics", "tok");
    open_window();
    area = find<PictureBox>("画板1");
    QTest::mouseDClick(area, Qt::LeftButton); // cancelled
    EXPECT_EQ(dialogs.filters.back(),
              QStringLiteral("图片文件(*.png;*.jpg;*.jpeg;*.gif;*.webp)|*.png;*.jpg;*.jpeg;*.gif;*.webp"));

    // An empty chosen file restores the add-picture drawing and sends nothing.
    dialogs.chosen_file = QString::fromStdString(write_file("empty.png", "").string());
    area->set_picture(QByteArray::fromStdString(png_bytes(4, 4, qRgb(1, 2, 3))));
    QTest::mouseDClick(area, Qt::LeftButton);
    const QByteArray drawing = [] {
        QFile file(QStringLiteral(":/add_picture.png"));
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }();
    EXPECT_TRUE(eventually([&] { return area->picture() == drawing; }));

    // A name typed into the dialog is held to the picture types as a drop is.
    dialogs.chosen_file = QString::fromStdString(write_file("a.x?y", png_bytes(4, 4, qRgb(1, 2, 3))).string());
    QTest::mouseDClick(area, Qt::LeftButton);
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("只能是PNG,JPG,GIF,WEBP格式的图片！"));
    EXPECT_EQ(area->picture(), drawing);

    const std::string picture = png_bytes(8, 8, qRgb(0, 0, 255));
    dialogs.chosen_file = QString::fromStdString(write_file("blue.jpg", picture).string());
    QTest::mouseDClick(area, Qt::LeftButton);
    const QString address = QString::fromStdString(service.download_url("alice", "pics", md5_hex(picture) + ".jpg"));
    EXPECT_TRUE(eventually([&] { return find<QLineEdit>("编辑框_url")->text() == address; }));
    EXPECT_EQ(service.count_requests("POST"), 1u);
    EXPECT_EQ(dialogs.filters.size(), 4);
    qunsetenv("VELPIC_SERVICE_BASE");
}

TEST_F(MainWindowTest, AFailedUploadReportsTheReasonOverTheWindowAndBringsBackTheEmptyDropArea) {
    TestService service;
    service.set_access_token("right");
    qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
    store_settings("alice", "pics", "wrong");
    open_window();
    const auto path = write_file("a.gif", png_bytes(3, 3, qRgb(9, 9, 9)));
    drop_files(find("画板1"), {QString::fromStdString(path.string())});
    ASSERT_TRUE(eventually([&] { return !dialogs.messages.isEmpty(); }));
    EXPECT_TRUE(dialogs.messages.front().startsWith(QStringLiteral("上传失败！[错误原因：")));
    EXPECT_TRUE(dialogs.owned.front());
    // Neither the status text nor the picture that did not go up stays.
    EXPECT_TRUE(eventually([&] { return find<QLineEdit>("编辑框_url")->text().isEmpty(); }))
        << find<QLineEdit>("编辑框_url")->text().toStdString();
    EXPECT_TRUE(eventually([&] { return find<PictureBox>("画板1")->picture() == default_drop_picture(); }));
    qunsetenv("VELPIC_SERVICE_BASE");
}

TEST_F(MainWindowTest, TheRecordModeButtonsSitInsideTheirFrameAndALongServiceAddressKeepsTheExampleReadable) {
    qputenv("VELPIC_SERVICE_BASE", "https://pictures.intranet.example.com:8443/");
    open_window();
    show_page(1);
    QApplication::processEvents();

    // Where the style draws the frame's lines, found in a picture of the group without its buttons: the column
    // right of the buttons crosses only the top and the bottom line.
    auto* group = find<QGroupBox>("分组框3");
    QImage picture(group->size(), QImage::Format_RGB32);
    group->render(&picture, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    const int column = group->width() - 30;
    const int inside = qGray(picture.pixel(column, group->height() - 10));
    std::vector<int> lines; // rows drawn clearly darker than the frame's inside
    for (int y = 0; y < group->height(); ++y) {
        if (qGray(picture.pixel(column, y)) < inside - 8)
            lines.push_back(y);
    }
    ASSERT_GE(lines.size(), 2u) << "no frame lines drawn";
    const int top_line = lines.front(), bottom_line = lines.back();
    ASSERT_GT(bottom_line - top_line, 10);
    for (const char* name : {"单选框_记录方式_本地", "单选框_记录方式_MySQL"}) {
        const QRect place = find(name)->geometry();
        EXPECT_GT(place.top(), top_line) << name;
        EXPECT_LT(place.bottom(), bottom_line) << name;
        EXPECT_GE(place.height(), find(name)->fontMetrics().height()) << name;
        EXPECT_LE(place.top() - 12, 12) << name; // near the form's place
    }

    // The example shows the whole address, host and port included, broken where a line is full.
    auto* example = find<QLabel>("标签11");
    const QString whole =
        QStringLiteral("示例：https://pictures.intranet.example.com:8443/[Owner]/[Repo]/raw/master/<md5>.png");
    const QStringList example_lines = example->text().split(QLatin1Char('\n'));
    ASSERT_EQ(example_lines.size(), 2) << example->text().toStdString();
    EXPECT_TRUE(example_lines[0].startsWith(QStringLiteral("示例：https://pictures.intranet.example.com")));
    EXPECT_EQ(example_lines.join(QString()), whole);
    for (const QString& line : example_lines) {
        EXPECT_LE(example->fontMetrics().horizontalAdvance(line), example->width()) << line.toStdString();
    }
    EXPECT_EQ(QTextDocumentFragment::fromHtml(example->toolTip()).toPlainText(), whole);
    qunsetenv("VELPIC_SERVICE_BASE");
}
