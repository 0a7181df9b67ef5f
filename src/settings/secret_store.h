// Where the secrets of the settings file are kept: the access token of every service profile, the MySQL password
// and the editor server's key. Either in the file itself, enciphered as ever (stored_secret.h), or in the desktop's
// Secret Service (GNOME Keyring, KWallet, KeePassXC) through QtKeychain, one item per secret. The setting
//   [密钥存放] TokenStore = "keyring" / "file"
// chooses; missing, the keyring is used when a Secret Service answers within 2 s, else the file.
// A value still standing in the file is read from there whatever the setting says: a move between the stores that
// was cut short, or a file written by an older version, never loses a secret.
// A keyring item is named by its label, which names the owner and repository (the MySQL user and server). The
// section of each secret records the label its item was written under:
//   [Gitee配置] KeyringItem = "Velpic: gitee token for alice/pics"
// so an owner or repository edited by hand in the file still finds the item. A file without the record (an older
// version's) names the item by the label its values make now, and so does a record whose item is gone.
#pragma once

#include "runtime/ini_file.h"

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

enum class SecretPlace { file, keyring };

const char* secret_place_name(SecretPlace place);
std::optional<SecretPlace> secret_place_named(std::string_view name);

// One secret of the settings file: where the file keeps it, and the keyring item it becomes.
struct SecretSlot {
    std::string section; // GBK, as in the file
    std::string key;
    std::string label;   // UTF-8, for a person looking into the keyring: "Velpic: gitee token for alice/pics"
};

// Every secret slot of the file as it stands: the label the file records for its item, else the one its values make
// (naming the owner and repository, the MySQL user...).
std::vector<SecretSlot> secret_slots(const IniDocument& file);
// The slot of (section, key) in file, if that is a secret.
std::optional<SecretSlot> secret_slot(const IniDocument& file, std::string_view section, std::string_view key);

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The value, "" when there is none; nullopt when the store did not answer or refused.
    virtual std::optional<std::string> read(const SecretSlot& slot) = 0;
    virtual bool write(const SecretSlot& slot, const std::string& value) = 0;
    // True also when there was nothing to remove.
    virtual bool remove(const SecretSlot& slot) = 0;
};

// The desktop's Secret Service. Each call waits for its answer at most bound.
std::unique_ptr<SecretStore> make_keyring_store(std::chrono::milliseconds bound = std::chrono::seconds(5));
// Whether a Secret Service answers within 2 s. Asked once per process, and not at all without a session bus or
// with VELPIC_NO_KEYRING set (test suites, scripts that must not touch the desktop's keyring).
bool keyring_answers();
// Tests replace the keyring (a store that refuses, forgets...) and the answer of the probe; {} restores them.
void set_keyring_store_for_tests(std::function<std::unique_ptr<SecretStore>()> make,
                                 std::optional<bool> answers = std::nullopt);

// The place the file names, if it names one.
std::optional<SecretPlace> stored_secret_place(const IniDocument& file);
// The place in force: the one named, else the keyring when it answers (probed only now), else the file.
SecretPlace secret_place_in_force(const IniDocument& file);
// Whether this process found no keyring where the file names no place, so secrets went to or came from the file:
// the command line says so once.
bool fell_back_to_file();

// The secret of slot: from the file while it stands there, else from the keyring when that is the place in force
// (asked only now), else "".
std::string read_secret(const IniDocument& file, std::string_view section, std::string_view key);

// The keyring items of secrets a save wrote under a label other than their old one.
struct RoutedSecrets {
    std::vector<SecretSlot> old_items; // to forget once the file names the new ones
    std::vector<SecretSlot> new_items; // to forget if the file could not be written (it still names the old ones)
};

// Before one save commits edits (values enciphered for the file) to the file: when the place in force is the
// keyring, each secret among them goes into the keyring under the label the edited values make, is read back, and
// its edit then removes it from the file while an added edit records the label. A secret the keyring refuses stays
// in the file and warning (UTF-8, naming no value) says so. A place not named yet is named by an edit added here.
// Nothing is removed from the keyring yet: a kill before the file is written leaves the item the file names.
RoutedSecrets route_secret_edits(const IniDocument& before, std::vector<IniEdit>& edits,
                                 std::deque<std::string>& storage, std::string& warning);
// After the save's one write of the file (written: whether it succeeded): forgets the items the file no longer names.
void settle_routed_secrets(const RoutedSecrets& routed, bool written);

struct SecretMove {
    bool ok = false;
    int moved = 0;
    std::string message; // UTF-8; names secrets by their labels, never by their values
};
// Moves every secret of the file to target and names target in the file. Safe against a kill at any moment: into
// the keyring, every value is written and read back before one replacement of the file removes them all and records
// their labels; into the file, one replacement writes them all before the keyring's items are removed, and only then
// does a second one drop the records (a move run again after a kill still finds the items to remove). progress (when
// given) hears one line per step done.
SecretMove move_secrets(const std::filesystem::path& file, SecretPlace target,
                        const std::function<void(const std::string&)>& progress = {});

} // namespace velpic
