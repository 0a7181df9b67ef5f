#include "window_harness.h"

#include "records/mysql_record_store.h"
#include "support/mariadb_server.h"
#include "support/test_service.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QTreeView>

using namespace velpic;
using namespace velpic::test;

namespace {

class MysqlModeTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(db.ok()) << shared_mariadb().error();
    }

    void type_mysql_settings(const MysqlSettings& settings) {
        find<QLineEdit>("编辑框_Server")->setText(QString::fromStdString(settings.server));
        find<QLineEdit>("编辑框_Prot")->setText(QString::number(settings.port));
        find<QLineEdit>("编辑框_DataBaseUserName")->setText(QString::fromStdString(settings.user));
        find<QLineEdit>("编辑框_DataBasePassword")->setText(QString::fromStdString(settings.password));
        find<QLineEdit>("编辑框_DatabaseName")->setText(QString::fromStdString(settings.database));
    }

    TestDatabase db;
};

} // namespace

TEST_F(MysqlModeTest, SaveMakesTheTableTheListShowsThisMachinesRowsAndClearEmptiesIt) {
    TestService service;
    qputenv("VELPIC_SERVICE_BASE", QByteArray::fromStdString(service.base()));
    open_window(true);
    show_page(1);
    find<QLineEdit>("编辑框_Owner")->setText(QStringLiteral("alice"));
    find<QLineEdit>("编辑框_Repo")->setText(QStringLiteral("pics"));
    find<QLineEdit>("编辑框_AccessToken")->setText(QStringLiteral("tok"));
    QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
    type_mysql_settings(db.settings());

    QTest::mouseClick(find("按钮_测试"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 1; }));
    MysqlSettings wrong = db.settings();
    wrong.port = MariaDbServer::unused_port();
    type_mysql_settings(wrong);
    QTest::mouseClick(find("按钮_测试"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 2; }));
    EXPECT_EQ(dialogs.messages.value(0), QStringLiteral("Success"));
    EXPECT_TRUE(dialogs.messages.value(1).startsWith(QStringLiteral("Error（"))) << dialogs.messages.value(1).toStdString();

    type_mysql_settings(db.settings());
    QTest::mouseClick(find("按钮_保存"), Qt::LeftButton);
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("保存成功！"));

    MysqlRecordStore store(db.settings());
    ASSERT_TRUE(store
                    .insert_record(UploadRecord{"mine", "1638003930123", "77",
                                                service.base() + "alice/pics/raw/master/a.png", ".png"})
                    .ok)
        << "the save should have made the table";
    ASSERT_TRUE(store.insert_record(UploadRecord{"theirs", "1638003930123", "88", "http://x/b.png", ".png"}).ok);

    show_page(2);
    auto* list = find<QTreeView>("超级列表框1");
    ASSERT_TRUE(eventually([&] { return list->model()->rowCount() == 1; }));
    EXPECT_EQ(list->model()->index(0, 1).data().toString(), QStringLiteral("mine"));

    dialogs.answers = {true};
    QTest::mouseClick(find("按钮_清空"), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return dialogs.messages.size() == 4; }));
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("清空成功！请手动进行仓库初始化！"));
    EXPECT_EQ(list->model()->rowCount(), 0);
    EXPECT_TRUE(store.list_machine_records("77").empty());
    EXPECT_TRUE(store.list_machine_records("88").empty()); // every machine's records go
    qunsetenv("VELPIC_SERVICE_BASE");
}
