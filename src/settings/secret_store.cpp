#include "settings/secret_store.h"

#include "runtime/codepage.h"
#include "settings/service_profiles.h"
#include "settings/stored_secret.h"
#include "upload/repository_profile.h"

#include <cstdlib>
#include <mutex>
#include <sys/stat.h>

namespace velpic {

namespace {

constexpr const char* key_place = "TokenStore";
constexpr const char* key_token = "Access_Token";
constexpr const char* key_password = "DataBasePassword";
constexpr const char* key_server_key = "Key";
// Beside each secret: the label of its keyring item (each section holds one secret).
constexpr const char* key_item = "KeyringItem";

const std::string& place_section() {
    static const std::string section = utf8_to_gbk("密钥存放");
    return section;
}
const std::string& mysql_section() {
    static const std::string section = utf8_to_gbk("MySQL配置");
    return section;
}
const std::string& server_section() {
    static const std::string section = utf8_to_gbk("编辑器上传服务");
    return section;
}

struct KeyringState {
    std::mutex mutex;
    std::function<std::unique_ptr<SecretStore>()> make;
    std::optional<bool> answers;
    bool fell_back = false;
};

KeyringState& keyring_state() {
    static KeyringState state;
    return state;
}

std::unique_ptr<SecretStore> keyring() {
    KeyringState& state = keyring_state();
    std::function<std::unique_ptr<SecretStore>()> make;
    {
        std::lock_guard lock(state.mutex);
        make = state.make;
    }
    return make ? make() : make_keyring_store();
}

// VELPIC_NO_KEYRING keeps a test suite or a script away from the keyring of the desktop it runs on; a choice, so
// the file is then used without a word.
bool keyring_switched_off() {
    const char* off = std::getenv("VELPIC_NO_KEYRING");
    return off != nullptr && *off != '\0';
}

// Without a session bus there is nobody to ask, and QtKeychain would try to start one (D-Bus's autolaunch) first.
bool session_bus_named() {
    if (keyring_switched_off())
        return false;
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address != nullptr && *address != '\0')
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime != nullptr && *runtime != '\0' && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

std::string profile_label(ServiceKind service, const std::string& owner, const std::string& repo) {
    std::string label = "Velpic: " + std::string(service_name(service)) + " token";
    if (!owner.empty() || !repo.empty())
        label += " for " + to_utf8(owner) + "/" + to_utf8(repo);
    return label;
}

std::string mysql_label(const std::string& user, const std::string& server) {
    std::string label = "Velpic: MySQL password";
    if (!user.empty() || !server.empty())
        label += " for " + to_utf8(user) + "@" + to_utf8(server);
    return label;
}

// The value of section/key once edits are applied to before.
std::string value_after(const IniDocument& before, const std::vector<IniEdit>& edits, std::string_view section,
                        std::string_view key) {
    std::string value = before.value(section, key);
    for (const IniEdit& edit : edits) {
        if (edit.section != section)
            continue;
        if (!edit.key)
            value.clear();
        else if (*edit.key == key)
            value = edit.value ? std::string(*edit.value) : std::string();
    }
    return value;
}

using ValueOf = std::function<std::string(std::string_view section, std::string_view key)>;

std::vector<SecretSlot> slots_of(const ValueOf& value) {
    std::vector<SecretSlot> slots;
    for (ServiceKind service : {ServiceKind::gitee, ServiceKind::github, ServiceKind::gitea}) {
        const std::string& section = profile_section(service);
        slots.push_back({section, key_token, profile_label(service, value(section, "Owner"), value(section, "Repo"))});
    }
    slots.push_back({mysql_section(), key_password,
                     mysql_label(value(mysql_section(), "DataBaseUser"), value(mysql_section(), "Server"))});
    slots.push_back({server_section(), key_server_key, "Velpic: editor server key"});
    return slots;
}

std::optional<SecretSlot> find_slot(std::vector<SecretSlot> slots, std::string_view section, std::string_view key) {
    for (SecretSlot& slot : slots)
        if (slot.section == section && slot.key == key)
            return std::move(slot);
    return std::nullopt;
}

// The slots with the labels the file's values make now, whatever it records.
std::vector<SecretSlot> labels_of_values(const IniDocument& file) {
    return slots_of([&file](std::string_view section, std::string_view key) { return file.value(section, key); });
}

// The value of the item the file names (slot); when that one holds nothing, the item of the label the values make
// now (today), which an older version renaming the profile wrote without recording it.
std::optional<std::string> read_item(SecretStore& store, const SecretSlot& slot, const SecretSlot& today) {
    std::optional<std::string> value = store.read(slot);
    if (value && value->empty() && today.label != slot.label)
        value = store.read(today);
    return value;
}

} // namespace

const char* secret_place_name(SecretPlace place) {
    return place == SecretPlace::keyring ? "keyring" : "file";
}

std::optional<SecretPlace> secret_place_named(std::string_view name) {
    if (name == "keyring")
        return SecretPlace::keyring;
    if (name == "file")
        return SecretPlace::file;
    return std::nullopt;
}

std::vector<SecretSlot> secret_slots(const IniDocument& file) {
    std::vector<SecretSlot> slots = labels_of_values(file);
    for (SecretSlot& slot : slots)
        if (std::string recorded = file.value(slot.section, key_item); !recorded.empty())
            slot.label = to_utf8(recorded);
    return slots;
}

std::optional<SecretSlot> secret_slot(const IniDocument& file, std::string_view section, std::string_view key) {
    return find_slot(secret_slots(file), section, key);
}

bool keyring_answers() {
    KeyringState& state = keyring_state();
    {
        std::lock_guard lock(state.mutex);
        if (state.answers)
            return *state.answers;
    }
    bool answers = false;
    if (session_bus_named() || keyring_state().make) {
        const SecretSlot probe{"", "probe", "Velpic: probe"};
        std::unique_ptr<SecretStore> store =
            keyring_state().make ? keyring() : make_keyring_store(std::chrono::seconds(2));
        answers = store->read(probe).has_value();
    }
    std::lock_guard lock(state.mutex);
    state.answers = answers;
    return answers;
}

void set_keyring_store_for_tests(std::function<std::unique_ptr<SecretStore>()> make, std::optional<bool> answers) {
    KeyringState& state = keyring_state();
    std::lock_guard lock(state.mutex);
    state.make = std::move(make);
    state.answers = answers;
    state.fell_back = false;
}

bool fell_back_to_file() {
    std::lock_guard lock(keyring_state().mutex);
    return keyring_state().fell_back;
}

std::optional<SecretPlace> stored_secret_place(const IniDocument& file) {
    return secret_place_named(file.value(place_section(), key_place));
}

SecretPlace secret_place_in_force(const IniDocument& file) {
    if (std::optional<SecretPlace> named = stored_secret_place(file))
        return *named;
    if (keyring_answers())
        return SecretPlace::keyring;
    std::lock_guard lock(keyring_state().mutex);
    keyring_state().fell_back = !keyring_switched_off();
    return SecretPlace::file;
}

std::string read_secret(const IniDocument& file, std::string_view section, std::string_view key) {
    const std::string stored = file.value(section, key);
    if (!stored.empty())
        return decode_stored_secret(stored);
    // An empty profile has nothing in the keyring either: no need to wake it (or probe for it).
    const std::optional<SecretSlot> slot = secret_slot(file, section, key);
    if (!slot || secret_place_in_force(file) != SecretPlace::keyring)
        return {};
    return read_item(*keyring(), *slot, *find_slot(labels_of_values(file), section, key)).value_or(std::string());
}

RoutedSecrets route_secret_edits(const IniDocument& before, std::vector<IniEdit>& edits,
                                 std::deque<std::string>& storage, std::string& warning) {
    RoutedSecrets routed;
    const auto after = [&](std::string_view section, std::string_view key) {
        return value_after(before, edits, section, key);
    };
    std::vector<IniEdit*> secret_edits;
    for (IniEdit& edit : edits)
        if (edit.key && edit.value && !edit.value->empty() && find_slot(slots_of(after), edit.section, *edit.key))
            secret_edits.push_back(&edit);
    if (secret_edits.empty() || secret_place_in_force(before) != SecretPlace::keyring)
        return routed;
    const std::vector<SecretSlot> new_slots = slots_of(after);
    const std::vector<SecretSlot> old_slots = secret_slots(before);
    const std::vector<SecretSlot> old_today = labels_of_values(before);
    std::unique_ptr<SecretStore> store = keyring();
    std::vector<std::string> refused;
    std::vector<IniEdit> records; // added once the loop no longer points into edits
    for (IniEdit* edit : secret_edits) {
        const SecretSlot slot = *find_slot(new_slots, edit->section, *edit->key);
        const std::string plain = decode_stored_secret(*edit->value);
        if (!store->write(slot, plain) || store->read(slot) != plain) {
            refused.push_back(slot.label);
            continue;
        }
        edit->value = std::nullopt;
        storage.push_back(utf8_to_gbk(slot.label));
        records.push_back({edit->section, key_item, storage.back()});
        // A profile that now names another repository leaves no item behind under the old name, once the file
        // names the new one.
        std::optional<SecretSlot> old = find_slot(old_slots, slot.section, slot.key);
        if (!old || old->label == slot.label)
            continue;
        routed.old_items.push_back(std::move(*old));
        // Should the file not be written, an item the old file finds by its values (an older version wrote it) stays.
        if (find_slot(old_today, slot.section, slot.key)->label != slot.label)
            routed.new_items.push_back(slot);
    }
    const bool kept = !records.empty();
    edits.insert(edits.end(), records.begin(), records.end());
    // A keyring that kept nothing (locked, refusing) is not named: the file stays the place.
    if (kept && !stored_secret_place(before)) {
        storage.push_back(place_section());
        edits.push_back({storage.back(), key_place, "keyring"});
    }
    if (!refused.empty()) {
        warning = "the keyring did not keep";
        for (std::size_t i = 0; i < refused.size(); ++i)
            warning += (i == 0 ? " " : ", ") + refused[i];
        warning += "; kept in the settings file instead";
    }
    return routed;
}

void settle_routed_secrets(const RoutedSecrets& routed, bool written) {
    const std::vector<SecretSlot>& unnamed = written ? routed.old_items : routed.new_items;
    if (unnamed.empty())
        return;
    std::unique_ptr<SecretStore> store = keyring();
    for (const SecretSlot& slot : unnamed)
        store->remove(slot);
}

SecretMove move_secrets(const std::filesystem::path& file, SecretPlace target,
                        const std::function<void(const std::string&)>& progress) {
    const auto tell = [&progress](const std::string& line) {
        if (progress)
            progress(line);
    };
    SecretMove result;
    const IniDocument doc = IniDocument::load(file);
    const std::vector<SecretSlot> slots = secret_slots(doc);
    const std::vector<SecretSlot> today = labels_of_values(doc);
    std::deque<std::string> storage;
    std::vector<IniEdit> edits;
    if (target == SecretPlace::keyring) {
        std::unique_ptr<SecretStore> store = keyring();
        std::vector<SecretSlot> superseded;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const SecretSlot& slot = today[i];
            const std::string stored = doc.value(slot.section, slot.key);
            if (stored.empty())
                continue;
            const std::string plain = decode_stored_secret(stored);
            if (!store->write(slot, plain) || store->read(slot) != plain) {
                result.message = "the keyring did not keep " + slot.label + "; every secret stays in the settings file";
                return result;
            }
            tell(slot.label + ": in the keyring");
            edits.push_back({slot.section, slot.key, std::nullopt});
            storage.push_back(utf8_to_gbk(slot.label));
            edits.push_back({slot.section, key_item, storage.back()});
            if (slots[i].label != slot.label)
                superseded.push_back(slots[i]);
            ++result.moved;
        }
        edits.push_back({place_section(), key_place, "keyring"});
        if (!write_ini_values(file, edits)) {
            result.message = "the settings file could not be written; the secrets stay in it";
            return result;
        }
        tell("settings file: secrets removed, token-store keyring");
        // An item a record named before (left by a move cut short) holds nothing the file names any more.
        for (const SecretSlot& slot : superseded)
            store->remove(slot);
        result.ok = true;
        return result;
    }
    const bool keyring_in_use = stored_secret_place(doc) == SecretPlace::keyring || keyring_answers();
    std::unique_ptr<SecretStore> store = keyring_in_use ? keyring() : nullptr;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const SecretSlot& slot = slots[i];
        if (!store || !doc.value(slot.section, slot.key).empty())
            continue;
        const std::optional<std::string> plain = read_item(*store, slot, today[i]);
        if (!plain) {
            result.message = "the keyring did not answer for " + slot.label + "; nothing was moved";
            return result;
        }
        if (plain->empty())
            continue;
        storage.push_back(encode_stored_secret(*plain));
        edits.push_back({slot.section, slot.key, storage.back()});
        ++result.moved;
    }
    edits.push_back({place_section(), key_place, "file"});
    if (!write_ini_values(file, edits)) {
        result.message = "the settings file could not be written; the secrets stay in the keyring";
        return result;
    }
    tell("settings file: secrets written, token-store file");
    // Only now that the file holds every value may the keyring forget them; an item left by a move cut short
    // earlier goes too. The file keeps naming each item until it is gone, so a move run again after a kill finds it.
    if (store) {
        std::vector<IniEdit> records;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const SecretSlot& slot = slots[i];
            const bool removed = store->remove(slot) && (today[i].label == slot.label || store->remove(today[i]));
            if (!removed) {
                result.message = "the keyring kept " + slot.label + " (remove it in the keyring's window)";
                continue;
            }
            tell(slot.label + ": removed from the keyring");
            if (!doc.value(slot.section, key_item).empty())
                records.push_back({slot.section, key_item, std::nullopt});
        }
        if (!records.empty() && write_ini_values(file, records))
            tell("settings file: keyring labels removed");
    }
    result.ok = true;
    return result;
}

} // namespace velpic
