// `velpic config show | set NAME VALUE... | test-mysql`: the settings page without a window. `set` reads the stored
// page, changes the named values and saves it with the page's own save, so the checks, their order, their
// messages and the file written are the page's.
#include "cli/commands.h"

#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "settings/secret_store.h"
#include "settings/settings_groups.h"
#include "settings/settings_store.h"

#include <functional>
#include <optional>

namespace velpic {

namespace {

// The page and the record mode the radio buttons would show.
struct PageState {
    SettingsPage page;
    bool mysql = false;
    const SettingsStore* store = nullptr;
    std::optional<SecretPlace> token_store; // a move asked for by `set token-store`
};

struct Setting {
    const char* name;
    bool secret; // masked by show; "-" reads it from standard input
    // Sets the value (UTF-8 as given); false when it is not one of the allowed words.
    std::function<bool(PageState&, const std::string&)> set;
    std::function<std::string(const PageState&)> get;
    const char* allowed = nullptr; // for the message when set refuses
};

// A text as typed into its edit box.
Setting text(const char* name, std::string SettingsPage::*field, bool secret = false) {
    return {name, secret,
            [field](PageState& state, const std::string& value) {
                state.page.*field = utf8_to_gbk(value);
                return true;
            },
            [field](const PageState& state) { return to_utf8(state.page.*field); }};
}

// A check box.
Setting on_off(const char* name, bool SettingsPage::*field) {
    return {name, false,
            [field](PageState& state, const std::string& value) {
                if (value != "on" && value != "off")
                    return false;
                state.page.*field = value == "on";
                return true;
            },
            [field](const PageState& state) { return std::string(state.page.*field ? "on" : "off"); }, "on or off"};
}

// The setting `service`: the active service, and the profile the other names of this command then address.
Setting service_setting() {
    return {"service", false,
            [](PageState& state, const std::string& value) {
                const std::optional<ServiceKind> service = service_kind_named(value);
                if (!service)
                    return false;
                if (*service != state.page.service)
                    state.page = state.store->read_page(*service);
                state.page.active_service = *service;
                return true;
            },
            [](const PageState& state) { return std::string(service_name(state.page.active_service)); },
            "gitee, github or gitea"};
}

// The setting `token-store`: where the secrets are kept. Setting it moves them all (move_secrets).
Setting token_store_setting() {
    return {"token-store", false,
            [](PageState& state, const std::string& value) {
                state.token_store = secret_place_named(value);
                return state.token_store.has_value();
            },
            [](const PageState& state) {
                const IniDocument file = IniDocument::load(state.store->file());
                if (std::optional<SecretPlace> named = stored_secret_place(file))
                    return std::string(secret_place_name(*named));
                return std::string(secret_place_name(secret_place_in_force(file))) + " (default)";
            },
            "keyring or file"};
}

const std::vector<Setting>& settings() {
    static const std::vector<Setting> list = {
        service_setting(),
        text("owner", &SettingsPage::owner),
        text("repo", &SettingsPage::repo),
        text("token", &SettingsPage::access_token, true),
        text("branch", &SettingsPage::branch),
        text("service-url", &SettingsPage::service_url),
        text("address-prefix", &SettingsPage::address_prefix),
        {"mode", false,
         [](PageState& state, const std::string& value) {
             if (value != "local" && value != "mysql")
                 return false;
             state.mysql = value == "mysql";
             return true;
         },
         [](const PageState& state) { return std::string(state.mysql ? "mysql" : "local"); }, "local or mysql"},
        text("mysql-server", &SettingsPage::server),
        text("mysql-port", &SettingsPage::port),
        text("mysql-user", &SettingsPage::database_user),
        text("mysql-password", &SettingsPage::database_password, true),
        text("mysql-database", &SettingsPage::database_name),
        on_off("server-enabled", &SettingsPage::server_enabled),
        text("server-port", &SettingsPage::server_port),
        text("server-key", &SettingsPage::server_key, true),
        token_store_setting(),
        {"link-format", false,
         [](PageState& state, const std::string& value) {
             const std::optional<LinkFormat> format = link_format_from_name(value);
             state.page.link_format = format.value_or(state.page.link_format);
             return format.has_value();
         },
         [](const PageState& state) { return std::string(link_format_name(state.page.link_format)); },
         "url, markdown or html"},
        on_off("compress", &SettingsPage::compress),
        on_off("archive", &SettingsPage::archive),
        text("check-referer", &SettingsPage::check_referer),
        text("check-max-age", &SettingsPage::check_max_age),
        text("check-rate", &SettingsPage::check_rate),
    };
    return list;
}

const Setting* find_setting(const std::string& name) {
    for (const Setting& setting : settings()) {
        if (name == setting.name)
            return &setting;
    }
    return nullptr;
}

// The stored page with the profile of service, or of the active service.
PageState stored_page(const SettingsStore& store, std::optional<ServiceKind> service) {
    return PageState{service ? store.read_page(*service) : store.read_page(), store.stored_mysql_mode(), &store, {}};
}

// Takes a leading "--service S" off args: false (with why) when S is no service.
bool take_service_option(std::vector<std::string>& args, std::optional<ServiceKind>& service, std::string& why) {
    if (args.empty() || (args.front() != "--service" && !args.front().starts_with("--service=")))
        return true;
    std::string name;
    if (args.front() == "--service") {
        if (args.size() < 2) {
            why = "--service needs gitee, github or gitea";
            return false;
        }
        name = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else {
        name = args.front().substr(10);
        args.erase(args.begin());
    }
    service = service_kind_named(name);
    if (!service)
        why = "unknown service \"" + name + "\" (gitee, github or gitea)";
    return service.has_value();
}

int misuse(CommandIo& io, const std::string& why) {
    io.err << "velpic config: " << why << "\n";
    print_short_usage(io.err, &config_command);
    return 2;
}

int show(std::optional<ServiceKind> service, CommandIo& io) {
    const SettingsStore store(settings_file_path());
    const PageState state = stored_page(store, service);
    if (service)
        io.out << "profile\t" << service_name(*service) << "\n";
    for (const Setting& setting : settings()) {
        std::string value = setting.get(state);
        if (setting.secret && !value.empty())
            value = "********";
        io.out << setting.name << "\t" << value << "\n";
    }
    return 0;
}

// The setting a refused save is about: the page's message begins with the label of its field, or is the whole
// message of a group's check. None is the start of another.
const char* refused_setting(const std::string& message) {
    const std::pair<std::string, const char*> labels[] = {
        {"Owner", "owner"},
        {"Repo", "repo"},
        {"AccessToken", "token"},
        {utf8_to_gbk("服务器地址"), "mysql-server"},
        {utf8_to_gbk("数据库用户名"), "mysql-user"},
        {utf8_to_gbk("数据库口令"), "mysql-password"},
        {utf8_to_gbk("数据库名称"), "mysql-database"},
        {utf8_to_gbk("端口号"), "mysql-port"},
        {server_port_message(), "server-port"},
        {server_key_message(), "server-key"},
        {referer_message(), "check-referer"},
        {check_max_age_message(), "check-max-age"},
        {check_rate_message(), "check-rate"},
    };
    for (const auto& [label, name] : labels) {
        if (message.rfind(label, 0) == 0)
            return name;
    }
    return nullptr;
}

// The page's message alone names a field of a window the command line has not got: name the setting and the
// command that sets it. Owner, repo and token are saved only together, so the first save needs all three.
void explain_refusal(const std::string& message, CommandIo& io) {
    const char* name = refused_setting(message);
    if (name == nullptr)
        return;
    const std::string setting = name;
    if (setting == "owner" || setting == "repo" || setting == "token") {
        io.err << "velpic config: the setting \"" << setting << "\" is missing or refused; owner, repo and token are "
               << "saved together: " << kGiteeSetupCommand << "\n";
        return;
    }
    const Setting& found = *find_setting(setting);
    io.err << "velpic config: the setting \"" << setting << "\" is missing or refused; set it with: velpic config set "
           << setting << (found.secret ? " - <<< VALUE" : " VALUE") << "\n";
}

// Each step is told as it is done (never a value): a kill in between leaves every secret where one step put it.
int move_secrets_to(SecretPlace target, const SettingsStore& store, CommandIo& io) {
    const SecretMove move = move_secrets(store.file(), target, [&io](const std::string& line) {
        io.err << "velpic config: " << line << std::endl;
    });
    if (!move.ok) {
        io.err << "velpic config: " << move.message << "\n";
        return 1;
    }
    if (!move.message.empty())
        io.err << "velpic config: " << move.message << "\n";
    io.out << "token-store " << secret_place_name(target) << ": " << move.moved << " secret(s) moved\n";
    return 0;
}

int set(std::optional<ServiceKind> service, const std::vector<std::string>& pairs, CommandIo& io) {
    if (pairs.empty() || pairs.size() % 2 != 0)
        return misuse(io, "set takes NAME VALUE pairs");
    // Every name and word is checked before anything is read from standard input or written.
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        if (find_setting(pairs[i]) == nullptr)
            return misuse(io, "unknown setting \"" + pairs[i] + "\"");
    }
    const SettingsStore store(settings_file_path());
    PageState state = stored_page(store, service);
    // `service` goes first wherever it stands: it chooses the profile the other names change.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < pairs.size(); i += 2)
        if (pairs[i] == "service")
            order.insert(order.begin(), i);
        else
            order.push_back(i);
    for (std::size_t i : order) {
        const Setting& setting = *find_setting(pairs[i]);
        std::string value = pairs[i + 1];
        // A secret need not stand in the argument list or the shell's history.
        if (setting.secret && value == "-") {
            if (!std::getline(io.in, value))
                return misuse(io, std::string("no line on standard input for ") + setting.name);
            if (!value.empty() && value.back() == '\r')
                value.pop_back();
        }
        if (!setting.set(state, value))
            return misuse(io, std::string(setting.name) + " must be " + setting.allowed);
    }
    bool others = false;
    for (std::size_t i = 0; i < pairs.size(); i += 2)
        others = others || pairs[i] != "token-store";
    if (!others)
        return move_secrets_to(*state.token_store, store, io);
    AppState scratch;
    const SaveResult result = store.save(state.page, state.mysql, scratch);
    (result.saved ? io.out : io.err) << to_utf8(result.message) << "\n";
    if (!result.warning.empty())
        io.err << "velpic config: " << to_utf8(result.warning) << "\n";
    if (!result.saved)
        explain_refusal(result.message, io);
    if (result.saved && state.token_store)
        return move_secrets_to(*state.token_store, store, io);
    return result.saved ? 0 : 1;
}

int test_mysql(CommandIo& io) {
    const SettingsPage page = SettingsStore(settings_file_path()).read_page();
    MysqlSettings settings{page.server, port_number(page.port), page.database_user, page.database_password,
                           page.database_name};
    const MysqlOutcome outcome = MysqlRecordStore(std::move(settings)).check_connection();
    if (outcome.ok) {
        io.out << "Success\n";
        return 0;
    }
    io.out << "Error: " << to_utf8(outcome.error) << "\n";
    return 1;
}

int run(const std::vector<std::string>& given, CommandIo& io) {
    const std::string action = given.empty() ? std::string() : given.front();
    std::vector<std::string> args(given.begin() + (given.empty() ? 0 : 1), given.end());
    std::optional<ServiceKind> service;
    std::string why;
    if ((action == "show" || action == "set") && !take_service_option(args, service, why))
        return misuse(io, why);
    if (action == "show" && args.empty())
        return show(service, io);
    if (action == "set")
        return set(service, args, io);
    if (action == "test-mysql" && args.empty())
        return test_mysql(io);
    return misuse(io, action.empty() ? "show, set or test-mysql?" : "unknown use of config: " + action);
}

} // namespace

const Command config_command{
    "config",
    "config show [--service S] | set [--service S] NAME VALUE [NAME VALUE...] | test-mysql",
    "shows or changes the settings of the settings page. show prints NAME<tab>VALUE lines (the\n"
    "         token, the MySQL password and the server key masked); set changes the named values and saves\n"
    "         them with the page's checks and messages; test-mysql tries the MySQL settings (Success/Error).\n"
    "         service (gitee|github|gitea) chooses the hosting service in use; each keeps its own profile:\n"
    "         owner, repo, token, branch, service-url and address-prefix name the profile of --service S\n"
    "         (default: the service in use). Other names: mode (local|mysql), mysql-server, mysql-port, mysql-user,\n"
    "         mysql-password, mysql-database, server-enabled (on|off), server-port, server-key,\n"
    "         link-format (url|markdown|html), compress (on|off), archive (on|off), check-referer,\n"
    "         check-max-age (hours after which the records page checks a remembered link again; 0: always),\n"
    "         check-rate (link checks started a second per host, 0 to 1000; 0: no limit; default 8).\n"
    "         The value - for token, mysql-password or server-key reads one line from standard input.\n"
    "         token-store (keyring|file) moves every secret into the desktop's keyring or back into the file.",
    run,
};

} // namespace velpic
