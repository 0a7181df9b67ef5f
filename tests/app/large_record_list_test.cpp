// The records page over a record file of 100,000 records, as a user with years of pictures has.
#include "window_harness.h"

#include "app/ui/picture_box.h"
#include "records/link_status_memory.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"

#include <QAbstractItemModel>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QHeaderView>
#include <QStyleOptionViewItem>
#include <QTreeView>
#include <cstdio>

using namespace velpic;
using namespace velpic::test;

namespace {

constexpr int kRecords = 100000;

std::string digest_of(int i) {
    char digest[33];
    std::snprintf(digest, sizeof digest, "%032x", static_cast<unsigned>(i) * 2654435761u);
    return digest;
}

class LargeRecordListTest : public ServiceWindowTest {
protected:
    void SetUp() override {
        ServiceWindowTest::SetUp();
        store_settings("alice", "pics", "tok");
        // Written at once, as the file would stand after years of uploads one by one; every link was checked a
        // moment ago, so the visit asks the service nothing.
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(kRecords) * 200);
        LinkStatusMemory memory;
        for (int i = 0; i < kRecords; ++i) {
            const std::string digest = digest_of(i);
            const std::string address = address_of(digest);
            bytes.append("[").append(digest).append("]\r\nImgMd5=").append(digest);
            bytes.append("\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\nImgUrl=").append(address).append("\r\n");
            memory.remember(digest, address, i % 7 == 0 ? LinkStatus::expired : LinkStatus::valid, unix_now());
        }
        write_file("本地记录.ini", bytes);
        ASSERT_TRUE(memory.save(link_status_file_path(dir.path())));
    }

    std::string address_of(const std::string& digest) const {
        return service.download_url("alice", "pics", digest + ".png");
    }
    QTreeView* list() const { return find<QTreeView>("超级列表框1"); }
    QAbstractItemModel* model() const { return list()->model(); }
    QString cell(int row, int column) const { return model()->index(row, column).data().toString(); }
};

} // namespace

TEST_F(LargeRecordListTest, TheLastRowsShowTheirStatusesAndServeTheMenuAndThePreview) {
    const int row = 99998; // the 99,999th
    const std::string digest = digest_of(row);
    service.put_file("alice", "pics", digest + ".png", png_bytes(40, 30, qRgb(0, 120, 0)));

    open_window();
    show_page(2);
    ASSERT_EQ(model()->rowCount(), kRecords);
    EXPECT_EQ(cell(0, 0), QStringLiteral("1"));
    EXPECT_EQ(cell(0, 4), QStringLiteral("已失效"));
    EXPECT_EQ(cell(row, 0), QStringLiteral("99999"));
    EXPECT_EQ(cell(row, 1), QString::fromStdString(digest));
    EXPECT_EQ(cell(row, 2), QStringLiteral(".png"));
    EXPECT_EQ(cell(row, 3), QString::fromStdString(address_of(digest)));
    EXPECT_EQ(cell(row, 4), QStringLiteral("有效"));
    EXPECT_EQ(cell(kRecords - 1, 0), QStringLiteral("100000"));
    EXPECT_TRUE(find<QLabel>("标签_检测进度")->text().isEmpty()); // nothing to check
    QApplication::processEvents();
    EXPECT_EQ(service.requests().size(), 0u);

    // The menu over the selected row copies its link.
    list()->scrollTo(model()->index(row, 0));
    list()->setCurrentIndex(model()->index(row, 0));
    const QPoint at = list()->visualRect(model()->index(row, 1)).center();
    ASSERT_TRUE(list()->viewport()->rect().contains(at));
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list()->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list()->viewport(), &event);
    auto* menu = find<QMenu>("菜单");
    ASSERT_TRUE(menu->isVisible());
    menu->actions().front()->trigger();
    menu->close();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(address_of(digest)));

    // A double click previews its picture.
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    auto* preview = find<PictureBox>("图片框_预览");
    ASSERT_TRUE(eventually([&] { return preview->isVisible(); }));
    EXPECT_TRUE(preview->has_image());
    EXPECT_EQ(service.count_requests("GET"), 1u);
}

TEST_F(LargeRecordListTest, TheNumberColumnShowsSixDigitNumbersWholeWithoutAHorizontalScrollBar) {
    open_window();
    show_page(2);
    ASSERT_EQ(model()->rowCount(), kRecords);
    list()->scrollToBottom();
    QApplication::processEvents();
    QStyleOptionViewItem option;
    option.initFrom(list()->viewport());
    option.font = list()->font();
    option.fontMetrics = list()->fontMetrics();
    const QModelIndex last = model()->index(kRecords - 1, 0);
    // What the delegate needs for "100000" fits: Qt would elide it otherwise.
    EXPECT_GE(list()->columnWidth(0), list()->itemDelegate()->sizeHint(option, last).width());
    // The digest column gives up what the number column takes: the list is as wide as ever.
    EXPECT_EQ(list()->header()->length(), 30 + 210 + 60 + 90);
    EXPECT_LT(list()->columnWidth(1), 210);
}
