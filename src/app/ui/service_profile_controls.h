// The hosting service's part of the settings page: the choice "图床服务" above the group of the chosen service's
// profile ("Gitee配置": owner, repository, token, branch, service address, address prefix), whose title, hints,
// sign-up and token links and example address follow the choice and what is typed.
#pragma once

#include "settings/settings_store.h"

#include <QObject>
#include <array>
#include <functional>
#include <optional>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace velpic {

class PressLabel;

class ServiceProfileControls {
public:
    // A service's profile as stored, read when the choice turns to a service not yet shown during this visit.
    using ProfileReader = std::function<RepositoryProfile(ServiceKind)>;

    ServiceProfileControls(QWidget* canvas, ProfileReader reader);

    // Shows page's service and profile; what was typed for the other services is forgotten.
    void fill(const SettingsPage& page);
    // The profile shown, its service becoming the active one.
    void collect(SettingsPage& page) const;
    // The group's lower edge on the canvas.
    int bottom() const;
    // Called after the group changed its height (a longer example address takes more lines).
    void set_resized(std::function<void()> resized);

private:
    void choose(ServiceKind service);
    void show_profile(const RepositoryProfile& profile);
    RepositoryProfile shown() const;
    // The title, hints, links and example address for the service and the boxes as they stand.
    void follow();
    // Where the secrets are (the line under the token), and the offer to move them at the next save.
    void show_secret_place();

    static constexpr int kExampleHeight = 34; // two lines

    ProfileReader reader_;
    QObject receiver_; // of the controls' signals, which must not reach this object once it is gone
    ServiceKind service_ = ServiceKind::gitee;
    // Per service: what the user left in its boxes when choosing another during this visit.
    std::array<std::optional<RepositoryProfile>, 3> typed_;
    QComboBox* choice_;
    QGroupBox* group_;
    QLineEdit* owner_;
    QLineEdit* repo_;
    QLineEdit* token_;
    QLineEdit* branch_;
    QLineEdit* service_url_;
    QLineEdit* prefix_;
    PressLabel* signup_;
    PressLabel* token_page_;
    QAction* secret_place_;
    QLabel* secret_line_;
    bool secrets_in_keyring_ = false;
    bool move_asked_ = false;
    QLabel* example_;
    QLabel* plain_http_;
    std::function<void()> resized_;
};

} // namespace velpic
