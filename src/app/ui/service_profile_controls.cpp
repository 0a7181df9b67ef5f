#include "app/ui/service_profile_controls.h"

#include "app/ui/controls.h"
#include "app/ui/dialogs.h"
#include "app/ui/press_label.h"
#include "app/ui/ui_text.h"
#include "runtime/service_base.h"

#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QTextDocument>
#include <algorithm>
#include <utility>

namespace velpic {

namespace {

// In the order of ServiceKind.
const char* const kChoices[] = {"Gitee", "GitHub", "Gitea/Forgejo"};

QString or_placeholder(const QString& typed, const char* placeholder) {
    return typed.isEmpty() ? QString::fromUtf8(placeholder) : typed;
}

// The service's address as typed when it could be used, else its own; empty for gitea without one. The links
// hand it to the desktop's browser, which must not get whatever half an address is typed.
std::string usable_site(RepositoryProfile profile) {
    if (!service_url_problem(profile.service_url).empty())
        profile.service_url.clear();
    return effective_service_url(profile);
}

struct ServicePages {
    QString signup, tokens; // empty: the service has no known site yet
};

ServicePages pages_of(const RepositoryProfile& profile) {
    const QString site = from_gbk(usable_site(profile));
    switch (profile.service) {
    case ServiceKind::gitee:
        return {site + QStringLiteral("signup?from=homepage"), site + QStringLiteral("personal_access_tokens")};
    case ServiceKind::github:
        return {QStringLiteral("https://github.com/signup"),
                QStringLiteral("https://github.com/settings/personal-access-tokens/new")};
    case ServiceKind::gitea:
        if (site.isEmpty())
            return {};
        return {site + QStringLiteral("user/sign_up"), site + QStringLiteral("user/settings/applications")};
    }
    return {};
}

// Where a picture of the profile would be: the part naming the site (or the address prefix) and the rest.
struct ExampleAddress {
    QString site, path;
};

ExampleAddress example_address(const RepositoryProfile& profile) {
    const QString file = QStringLiteral("<md5>.png");
    if (!profile.address_prefix.empty())
        return {from_gbk(normalized_address_prefix(profile.address_prefix)), file};
    const QString place = or_placeholder(from_gbk(profile.owner), "[Owner]") + '/' +
                          or_placeholder(from_gbk(profile.repo), "[Repo]") + '/';
    const QString branch = from_gbk(profile.branch);
    switch (profile.service) {
    case ServiceKind::gitee:
        return {from_gbk(effective_service_url(profile)),
                place + "raw/" + or_placeholder(branch, "master") + '/' + file};
    case ServiceKind::github:
        // The service gives raw files from this host whatever its API address.
        return {QStringLiteral("https://raw.githubusercontent.com/"),
                place + or_placeholder(branch, "默认分支") + '/' + file};
    case ServiceKind::gitea:
        return {or_placeholder(from_gbk(effective_service_url(profile)), "[服务地址]/"),
                place + "raw/branch/" + or_placeholder(branch, "默认分支") + '/' + file};
    }
    return {};
}

// "示例：" and the whole address in the label's width: on one line when it fits, else broken after a "/" or where a
// line is full, the part after the site starting a line of its own when that fits. Eliding hid the very part (host and port) the
// user came to check; the label grows a line at a time instead. An address has no spaces to wrap at, so the breaks
// are the label's own line ends. The whole address stays in the tool tip, as text: a typed "<b>" is no markup.
// Gives the number of lines.
int show_example(QLabel* example, const ExampleAddress& address) {
    const QString head = QStringLiteral("示例：");
    const QFontMetrics metrics = example->fontMetrics();
    const int width = example->width();
    QStringList lines{QString()};
    const auto fits = [&](const QString& text) { return metrics.horizontalAdvance(text) <= width; };
    for (const QString& part : {head + address.site, address.path}) {
        if (!lines.back().isEmpty() && !fits(lines.back() + part))
            lines << QString();
        for (const QChar c : part) {
            if (!lines.back().isEmpty() && !fits(lines.back() + c)) {
                // After a "/" of the line's latter half, else where the line is full.
                const qsizetype slash = lines.back().lastIndexOf(u'/');
                const bool at_slash = slash >= lines.back().size() / 2;
                const QString carried = at_slash ? lines.back().mid(slash + 1) : QString();
                if (at_slash)
                    lines.back().truncate(slash + 1);
                lines << carried;
            }
            lines.back() += c;
        }
    }
    example->setText(lines.join(u'\n'));
    example->setToolTip(Qt::convertFromPlainText(head + address.site + address.path, Qt::WhiteSpaceNoWrap));
    return static_cast<int>(lines.size());
}

void style_as_link(PressLabel* link) {
    link->setStyleSheet(QStringLiteral("color: blue;"));
    link->setCursor(Qt::PointingHandCursor);
}

} // namespace

ServiceProfileControls::ServiceProfileControls(QWidget* canvas, ProfileReader reader) : reader_(std::move(reader)) {
    // In line with the group's labels and boxes below, which start at x = 66 + 34 and 66 + 102.
    label(canvas, "标签_图床服务", QStringLiteral("图床服务："), 100, 34, 64, 16);
    choice_ = place(new QComboBox(canvas), "组合框_图床服务", 168, 32, 144, 20);
    for (const char* name : kChoices)
        choice_->addItem(QString::fromUtf8(name));

    // As high as what it holds needs: follow() sets its height once the example is shown.
    group_ = place(new QGroupBox(QStringLiteral("Gitee配置"), canvas), "分组框1", 66, 58, 288, 236);
    label(group_, "标签2", QStringLiteral("Owner："), 34, 24, 64, 16);
    owner_ = edit(group_, "编辑框_Owner", 102, 24, 144, 20);
    label(group_, "标签3", QStringLiteral("Repo："), 34, 49, 64, 16);
    repo_ = edit(group_, "编辑框_Repo", 102, 49, 144, 20);
    label(group_, "标签4", QStringLiteral("Access_Token："), 14, 73, 84, 16);
    token_ = edit(group_, "编辑框_AccessToken", 102, 73, 144, 20, true);
    // A line of its own under the token: where the secrets are, and the offer to move them at the next save. The
    // action is what the offer does, for anything else that offers it too.
    secret_place_ = new QAction(group_);
    secret_place_->setObjectName(QStringLiteral("动作_密钥存放"));
    QObject::connect(secret_place_, &QAction::triggered, &receiver_, [this] {
        move_asked_ = !move_asked_;
        show_secret_place();
    });
    secret_line_ = label(group_, "标签_密钥存放", QString(), 14, 95, 266, 14);
    secret_line_->setTextFormat(Qt::RichText);
    secret_line_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QObject::connect(secret_line_, &QLabel::linkActivated, &receiver_, [this] { secret_place_->trigger(); });
    show_secret_place();
    label(group_, "标签_分支", QStringLiteral("分支："), 34, 113, 64, 16);
    branch_ = edit(group_, "编辑框_分支", 102, 113, 144, 20);
    branch_->setToolTip(QStringLiteral("留空：Gitee 用 master，GitHub 与 Gitea/Forgejo 用仓库的默认分支"));
    label(group_, "标签_服务地址", QStringLiteral("服务地址："), 34, 137, 64, 16);
    service_url_ = edit(group_, "编辑框_服务地址", 102, 137, 144, 20);
    service_url_->setToolTip(QStringLiteral("留空：Gitee、GitHub 的官方地址；Gitea/Forgejo 须填站点地址，"
                                            "如 https://codeberg.org/"));
    // Its row stays free while it is hidden, so that nothing moves under the pointer as the address is typed.
    plain_http_ = label(group_, "标签_服务地址提示", QStringLiteral("注意：令牌将以明文传送"), 102, 158, 178, 14);
    plain_http_->setStyleSheet(QStringLiteral("color: #c00000;"));
    plain_http_->setToolTip(from_gbk(unencrypted_service_url_warning()));
    plain_http_->setVisible(false);
    label(group_, "标签_链接前缀", QStringLiteral("链接前缀："), 34, 174, 64, 16);
    prefix_ = edit(group_, "编辑框_链接前缀", 102, 174, 144, 20);
    prefix_->setPlaceholderText(QStringLiteral("可选：自己的域名或CDN"));
    prefix_->setToolTip(QStringLiteral("图片链接为前缀加文件名；留空：仓库的原始文件地址"));

    signup_ = place(new PressLabel(QStringLiteral("注册"), group_), "标签10", 252, 21, 28, 24);
    token_page_ = place(new PressLabel(QStringLiteral("获取"), group_), "标签9", 252, 70, 28, 24);
    style_as_link(signup_);
    style_as_link(token_page_);
    QObject::connect(signup_, &PressLabel::pressed, &receiver_, [this] {
        if (const QString page = pages_of(shown()).signup; !page.isEmpty())
            dialogs().open_url(page);
    });
    QObject::connect(token_page_, &PressLabel::pressed, &receiver_, [this] {
        if (const QString page = pages_of(shown()).tokens; !page.isEmpty())
            dialogs().open_url(page);
    });

    example_ = label(group_, "标签11", QString(), 14, 198, 266, kExampleHeight);
    example_->setTextFormat(Qt::PlainText);
    example_->setStyleSheet(QStringLiteral("color: red;"));

    QObject::connect(choice_, &QComboBox::currentIndexChanged, &receiver_, [this](int index) {
        if (index >= 0)
            choose(static_cast<ServiceKind>(index));
    });
    for (QLineEdit* box : {owner_, repo_, branch_, service_url_, prefix_})
        QObject::connect(box, &QLineEdit::textChanged, &receiver_, [this] { follow(); });
    follow();
}

int ServiceProfileControls::bottom() const {
    return group_->geometry().bottom() + 1;
}

void ServiceProfileControls::set_resized(std::function<void()> resized) {
    resized_ = std::move(resized);
}

void ServiceProfileControls::show_secret_place() {
    const QString kept = secrets_in_keyring_ ? QStringLiteral("系统钥匙环") : QStringLiteral("配置文件");
    const QString other = secrets_in_keyring_ ? QStringLiteral("配置文件") : QStringLiteral("系统钥匙环");
    secret_place_->setToolTip(move_asked_ ? QStringLiteral("保存时将密钥移入%1（再次点击取消）").arg(other)
                                          : QStringLiteral("令牌、MySQL 口令与服务密钥存于%1；点击后保存即移入%2")
                                                .arg(kept, other));
    secret_place_->setText(secret_place_->toolTip());
    // The file keeps them enciphered; the link is the offer, or taking it back.
    const QString said = move_asked_ ? QStringLiteral("保存时将密钥移入%1").arg(other)
                                     : QStringLiteral("密钥存于%1").arg(kept) +
                                           (secrets_in_keyring_ ? QString() : QStringLiteral("（已加密）"));
    const QString offer = move_asked_ ? QStringLiteral("取消") : QStringLiteral("移入%1").arg(other);
    secret_line_->setText(said.toHtmlEscaped() + QStringLiteral("&nbsp;<a href=\"move\">") + offer +
                          QStringLiteral("</a>"));
    secret_line_->setToolTip(secret_place_->toolTip());
}

void ServiceProfileControls::fill(const SettingsPage& page) {
    secrets_in_keyring_ = page.secrets_in_keyring;
    move_asked_ = false;
    show_secret_place();
    typed_ = {};
    service_ = page.service;
    {
        const QSignalBlocker quiet(choice_);
        choice_->setCurrentIndex(static_cast<int>(page.service));
    }
    show_profile(page_profile(page));
}

void ServiceProfileControls::collect(SettingsPage& page) const {
    const RepositoryProfile profile = shown();
    page.service = page.active_service = profile.service;
    page.owner = profile.owner;
    page.repo = profile.repo;
    page.access_token = profile.access_token;
    if (move_asked_)
        page.token_store = secrets_in_keyring_ ? "file" : "keyring";
    page.branch = profile.branch;
    page.service_url = profile.service_url;
    page.address_prefix = profile.address_prefix;
}

void ServiceProfileControls::choose(ServiceKind service) {
    if (service == service_)
        return;
    typed_[static_cast<int>(service_)] = shown();
    service_ = service;
    const std::optional<RepositoryProfile>& typed = typed_[static_cast<int>(service)];
    show_profile(typed ? *typed : reader_(service));
}

void ServiceProfileControls::show_profile(const RepositoryProfile& profile) {
    // One update of the example for the whole profile, not one per box.
    {
        const QSignalBlocker quiet_owner(owner_), quiet_repo(repo_), quiet_branch(branch_), quiet_url(service_url_),
            quiet_prefix(prefix_);
        owner_->setText(from_gbk(profile.owner));
        repo_->setText(from_gbk(profile.repo));
        token_->setText(from_gbk(profile.access_token));
        branch_->setText(from_gbk(profile.branch));
        service_url_->setText(from_gbk(profile.service_url));
        prefix_->setText(from_gbk(profile.address_prefix));
    }
    follow();
}

RepositoryProfile ServiceProfileControls::shown() const {
    RepositoryProfile profile;
    profile.service = service_;
    profile.owner = to_gbk(owner_->text());
    profile.repo = to_gbk(repo_->text());
    profile.access_token = to_gbk(token_->text());
    profile.branch = to_gbk(branch_->text());
    profile.service_url = to_gbk(service_url_->text());
    profile.address_prefix = to_gbk(prefix_->text());
    return profile;
}

void ServiceProfileControls::follow() {
    const RepositoryProfile profile = shown();
    group_->setTitle(QString::fromUtf8(kChoices[static_cast<int>(service_)]) + QStringLiteral("配置"));
    branch_->setPlaceholderText(service_ == ServiceKind::gitee ? QStringLiteral("master") : QStringLiteral("默认分支"));
    switch (service_) {
    case ServiceKind::gitee:
        service_url_->setPlaceholderText(from_gbk(service_base()));
        break;
    case ServiceKind::github:
        service_url_->setPlaceholderText(QStringLiteral("https://api.github.com/"));
        break;
    case ServiceKind::gitea:
        service_url_->setPlaceholderText(QStringLiteral("必填：站点地址"));
        break;
    }
    const ServicePages pages = pages_of(profile);
    signup_->setVisible(!pages.signup.isEmpty());
    token_page_->setVisible(!pages.tokens.isEmpty());
    plain_http_->setVisible(service_url_unencrypted(effective_service_url(profile)));
    const int lines = show_example(example_, example_address(profile));
    // Two lines' room at least, as the form had it; the group ends below the example, whatever it needs.
    const int height = std::max(kExampleHeight, lines * example_->fontMetrics().lineSpacing());
    if (example_->height() != height || group_->height() != example_->y() + height + 4) {
        example_->resize(example_->width(), height);
        group_->resize(group_->width(), example_->y() + height + 4);
        if (resized_)
            resized_();
    }
}

} // namespace velpic
