#include "records/mysql_record_store.h"

#include "runtime/codepage.h"
#include "runtime/gbk_text.h"

#include <mysql.h>

#include <mutex>
#include <string_view>
#include <utility>

namespace velpic {
namespace {

// Sent as GBK bytes like every other statement; the connection character set is GBK, so the comments arrive intact.
constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS `remote_imgs` ("
    "`ImgMd5` VARCHAR(32) NOT NULL COMMENT '\xCE\xC4\xBC\xFE"
    "md5',"
    "`ImgUploadTime` VARCHAR(13) NOT NULL COMMENT '\xC9\xCF\xB4\xAB\xCA\xB1\xBC\xE4\xA3\xAC"
    "10\xCE\xBB\xCA\xB1\xBC\xE4\xB4\xC1"
    "',"
    "`UploadMachineCode` VARCHAR(200) NOT NULL COMMENT '\xC9\xCF\xB4\xAB\xBB\xFA\xC6\xF7\xC2\xEB"
    "',"
    "`ImgUrl` VARCHAR(200) NOT NULL COMMENT '\xD4\xB6\xB3\xCC\xB7\xC3\xCE\xCA"
    "URL',"
    "`ImgType` VARCHAR(10) NOT NULL COMMENT '\xCD\xBC\xC6\xAC\xC0\xE0\xD0\xCD"
    "',"
    "PRIMARY KEY (`ImgMd5`)) ENGINE=INNODB DEFAULT CHARSET=utf8 COMMENT='\xCD\xBC\xC6\xAC\xCD\xB3\xBC\xC6\xB1\xED"
    "';";

constexpr unsigned kConnectTimeoutSeconds = 10;
// A server or network that stops answering mid-statement must not hold the window or an upload forever.
constexpr unsigned kReadWriteTimeoutSeconds = 60;

// The stored result of a SELECT; fields are found by the exact column names the server reports.
class Result {
public:
    explicit Result(MYSQL* handle) : result_(mysql_store_result(handle)) {
        if (result_ == nullptr)
            return;
        unsigned count = mysql_num_fields(result_);
        MYSQL_FIELD* fields = mysql_fetch_fields(result_);
        for (unsigned i = 0; i < count; ++i)
            names_.emplace_back(fields[i].name, fields[i].name_length);
    }
    ~Result() {
        if (result_ != nullptr)
            mysql_free_result(result_);
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    // False when the rows could not be fetched (the connection broke, memory ran out).
    bool stored() const { return result_ != nullptr; }
    std::size_t row_count() const { return result_ != nullptr ? static_cast<std::size_t>(mysql_num_rows(result_)) : 0; }

    bool next() {
        if (result_ == nullptr)
            return false;
        row_ = mysql_fetch_row(result_);
        lengths_ = row_ != nullptr ? mysql_fetch_lengths(result_) : nullptr;
        return row_ != nullptr;
    }

    // The place of a column among the fields, by its exact name; -1 when there is none.
    int column(std::string_view name) const {
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name)
                return static_cast<int>(i);
        return -1;
    }

    // The current row's value in a column; empty when the column is missing (-1) or NULL.
    std::string field(int column) const {
        if (column < 0 || row_[column] == nullptr)
            return {};
        return std::string(row_[column], lengths_[column]);
    }
    std::string field(std::string_view name) const { return field(column(name)); }

private:
    MYSQL_RES* result_;
    std::vector<std::string> names_;
    MYSQL_ROW row_ = nullptr;
    unsigned long* lengths_ = nullptr;
};

} // namespace

// One connection for one operation, closed when the operation ends.
class MysqlConnection {
public:
    explicit MysqlConnection(const MysqlSettings& settings) : handle_(initialized_handle()) {
        if (handle_ == nullptr) {
            error_ = "out of memory";
            return;
        }
        // The client must know the connection speaks GBK: escaping depends on it (a GBK trail byte may be 0x5C),
        // and texts without "set names" (the table comments) must not be read as Latin-1.
        mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "gbk");
        mysql_options(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
        mysql_options(handle_, MYSQL_OPT_READ_TIMEOUT, &kReadWriteTimeoutSeconds);
        mysql_options(handle_, MYSQL_OPT_WRITE_TIMEOUT, &kReadWriteTimeoutSeconds);
        auto absent_if_empty = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
        connected_ =
            mysql_real_connect(handle_, absent_if_empty(settings.server), absent_if_empty(settings.user),
                               absent_if_empty(settings.password), absent_if_empty(settings.database),
                               settings.port > 0 ? static_cast<unsigned>(settings.port) : 0, nullptr, 0) != nullptr;
        if (!connected_)
            error_ = mysql_error(handle_);
    }

    ~MysqlConnection() {
        if (handle_ != nullptr)
            mysql_close(handle_);
    }

    MysqlConnection(const MysqlConnection&) = delete;
    MysqlConnection& operator=(const MysqlConnection&) = delete;

    bool connected() const { return connected_; }
    const std::string& error() const { return error_; }

    bool execute(const std::string& statement) {
        if (!connected_)
            return false;
        if (mysql_real_query(handle_, statement.data(), statement.size()) == 0)
            return true;
        error_ = mysql_error(handle_);
        return false;
    }

    MysqlOutcome run(const std::string& statement) {
        if (execute(statement))
            return {true, {}};
        return {false, error_};
    }

    // Values go between single quotes; escaping leaves ordinary values byte for byte as they are.
    std::string escaped(const std::string& value) const {
        if (!connected_)
            return value; // nothing is sent without a connection
        std::string out(value.size() * 2 + 1, '\0');
        unsigned long length = mysql_real_escape_string(handle_, out.data(), value.data(), value.size());
        out.resize(length);
        return out;
    }

    MYSQL* handle() const { return handle_; }

    // Connected, and the server still answers on this connection (it may drop one that stayed idle).
    bool alive() const { return connected_ && mysql_ping(handle_) == 0; }

private:
    // The library's global set-up is not safe to race, and the first connection may open on any thread.
    static MYSQL* initialized_handle() {
        static std::once_flag once;
        std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
        return mysql_init(nullptr);
    }

    MYSQL* handle_;
    bool connected_ = false;
    std::string error_;
};

namespace {

// The row of digest, with the fields that tell whether it names its file.
std::optional<UploadRecord> recorded_row(MysqlConnection& connection, const std::string& digest) {
    if (!connection.execute("SELECT * FROM remote_imgs WHERE imgmd5='" + connection.escaped(digest) + "'"))
        return std::nullopt;
    Result result(connection.handle());
    if (!result.next())
        return std::nullopt;
    UploadRecord row;
    row.ImgMd5 = result.field("ImgMd5");
    row.ImgType = result.field("ImgType");
    row.ImgUrl = result.field("ImgUrl");
    return row;
}

// The widths the table was created with, in characters. Other machines share the table, so its layout stays; a
// value that does not fit is refused before the insert instead of being cut (a non-strict server) or refused
// after the commit (a strict one).
struct ColumnWidth {
    const char* name;
    std::size_t characters;
    std::string UploadRecord::*field;
};
constexpr ColumnWidth kColumnWidths[] = {
    {"ImgMd5", 32, &UploadRecord::ImgMd5},
    {"ImgUploadTime", 13, &UploadRecord::ImgUploadTime},
    {"UploadMachineCode", 200, &UploadRecord::UploadMachineCode},
    {"ImgUrl", 200, &UploadRecord::ImgUrl},
    {"ImgType", 10, &UploadRecord::ImgType},
};

// Characters of a GBK text, a double-byte character counting once, as the server counts them.
std::size_t gbk_characters(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++count)
        if (is_gbk_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size())
            ++i;
    return count;
}

// Why record cannot go into the table as it is (GBK), or empty.
std::string unfitting_field(const UploadRecord& record) {
    for (const ColumnWidth& column : kColumnWidths) {
        const std::size_t length = gbk_characters(record.*column.field);
        if (length > column.characters)
            return std::string(column.name) +
                   utf8_to_gbk(" 长 " + std::to_string(length) + " 个字符，超过表中该列的 " +
                               std::to_string(column.characters) + " 个字符上限，没有记录");
    }
    return {};
}

// The first warning the server gave for the last statement, or a count when it gives none.
std::string first_warning(MysqlConnection& connection, unsigned count) {
    if (connection.execute("SHOW WARNINGS")) {
        Result result(connection.handle());
        if (result.next()) {
            const std::string message = result.field("Message");
            if (!message.empty())
                return message;
        }
    }
    return std::to_string(count) + " warning(s)";
}

MysqlOutcome insert_row(MysqlConnection& connection, const UploadRecord& record) {
    return connection.run("INSERT INTO `remote_imgs`(`ImgMd5`, `ImgUploadTime`,`UploadMachineCode`,`ImgUrl`,`ImgType`) "
                          "VALUES ('" +
                          connection.escaped(record.ImgMd5) + "','" + connection.escaped(record.ImgUploadTime) + "','" +
                          connection.escaped(record.UploadMachineCode) + "','" + connection.escaped(record.ImgUrl) +
                          "','" + connection.escaped(record.ImgType) + "')");
}

// The insert, and the proof that the server stored the row as it was sent: a non-strict server cuts a value that
// does not fit, or replaces characters it cannot store, with no more than a warning. A row changed so is taken
// back, as it would only read as damaged; what happened is the outcome's error.
MysqlOutcome insert(MysqlConnection& connection, const UploadRecord& record) {
    if (std::string unfitting = unfitting_field(record); !unfitting.empty())
        return {false, std::move(unfitting)};
    MysqlOutcome inserted = insert_row(connection, record);
    if (!inserted.ok)
        return inserted;
    const my_ulonglong affected = mysql_affected_rows(connection.handle());
    const unsigned warnings = mysql_warning_count(connection.handle());
    std::string problem;
    bool changed = false;
    if (affected != 1) {
        problem = "the server stored " + std::to_string(affected) + " rows instead of one";
    } else {
        // A warning alone proves nothing (servers warn about much); the row read back does.
        const std::string warning = warnings != 0 ? first_warning(connection, warnings) : std::string();
        std::optional<UploadRecord> stored;
        if (connection.execute("SELECT * FROM remote_imgs WHERE imgmd5='" + connection.escaped(record.ImgMd5) + "'")) {
            Result result(connection.handle());
            if (result.next())
                stored = UploadRecord{result.field("ImgMd5"), result.field("ImgUploadTime"),
                                      result.field("UploadMachineCode"), result.field("ImgUrl"),
                                      result.field("ImgType")};
        }
        if (!stored)
            problem = "the row could not be read back: " + connection.error();
        else if ((changed = *stored != record))
            problem = warning.empty() ? std::string("the row was stored changed") : warning;
    }
    if (problem.empty())
        return inserted;
    // Only the changed row of this insert goes; one another machine wrote meanwhile under the digest stays.
    if (changed)
            connection.execute("DELETE FROM remote_imgs WHERE ImgMd5='" + connection.escaped(record.ImgMd5) +
                           "' AND ImgUploadTime='" + connection.escaped(record.ImgUploadTime) +
                           "' AND UploadMachineCode='" + connection.escaped(record.UploadMachineCode) + "'");
    return {false, utf8_to_gbk("服务器改动或拒绝了记录：") + problem};
}

} // namespace

MysqlRecordSession::MysqlRecordSession(MysqlSettings settings) : settings_(std::move(settings)) {}

MysqlRecordSession::~MysqlRecordSession() = default;

MysqlConnection& MysqlRecordSession::connection(bool check_alive) {
    if (!connection_ || (check_alive && !connection_->alive())) {
        connection_ = std::make_unique<MysqlConnection>(settings_);
        connection_->execute("set names GBK");
    }
    return *connection_;
}

std::optional<std::string> MysqlRecordSession::find_recorded_address(const std::string& digest) {
    std::optional<UploadRecord> row = recorded_row(connection(false), digest);
    if (!row)
        return std::nullopt;
    if (!record_names_its_file(*row)) {
        unusable_row_ = digest;
        return std::nullopt;
    }
    return std::move(row->ImgUrl);
}

MysqlOutcome MysqlRecordSession::insert_record(const UploadRecord& record) {
    // The commit before it may have taken long enough for the server to drop the connection.
    MysqlConnection& current = connection(true);
    if (!unusable_row_.empty() && unusable_row_ == record.ImgMd5) {
        // The key is taken by the unusable row; whatever stands there now gives way to the record of the commit.
        MysqlOutcome removed =
            current.run("DELETE FROM remote_imgs WHERE ImgMd5='" + current.escaped(record.ImgMd5) + "'");
        if (!removed.ok)
            return removed;
        unusable_row_.clear();
    }
    return insert(current, record);
}

MysqlRecordStore::MysqlRecordStore(MysqlSettings settings) : settings_(std::move(settings)) {}

MysqlOutcome MysqlRecordStore::ensure_record_table() const {
    MysqlConnection connection(settings_);
    return connection.run(kCreateTable);
}

namespace {

// The rows a SELECT * over the table gives, every field as stored.
std::vector<UploadRecord> select_records(MysqlConnection& connection, const std::string& statement,
                                         MysqlOutcome& status) {
    std::vector<UploadRecord> records;
    connection.execute("set names GBK");
    status = connection.run(statement);
    if (!status.ok)
        return records;
    Result result(connection.handle());
    if (!result.stored()) {
        status = {false, mysql_error(connection.handle())};
        return records;
    }
    // The columns are found by name once, not for every row.
    const int digest = result.column("ImgMd5");
    const int type = result.column("ImgType");
    const int address = result.column("ImgUrl");
    const int time = result.column("ImgUploadTime");
    const int machine = result.column("UploadMachineCode");
    records.reserve(result.row_count());
    while (result.next()) {
        UploadRecord& record = records.emplace_back();
        record.ImgMd5 = result.field(digest);
        record.ImgType = result.field(type);
        record.ImgUrl = result.field(address);
        record.ImgUploadTime = result.field(time);
        record.UploadMachineCode = result.field(machine);
    }
    return records;
}

} // namespace

std::vector<UploadRecord> MysqlRecordStore::list_machine_records(const std::string& machine_code,
                                                                 MysqlOutcome* outcome) const {
    MysqlOutcome ignored;
    MysqlConnection connection(settings_);
    return select_records(connection,
                          "SELECT * FROM remote_imgs WHERE UploadMachineCode='" + connection.escaped(machine_code) + "'",
                          outcome != nullptr ? *outcome : ignored);
}

std::vector<UploadRecord> MysqlRecordStore::list_all_records(MysqlOutcome* outcome) const {
    MysqlOutcome ignored;
    MysqlConnection connection(settings_);
    return select_records(connection, "SELECT * FROM remote_imgs", outcome != nullptr ? *outcome : ignored);
}

std::optional<std::string> MysqlRecordStore::find_recorded_address(const std::string& digest) const {
    return MysqlRecordSession(settings_).find_recorded_address(digest);
}

MysqlOutcome MysqlRecordStore::insert_record(const UploadRecord& record) const {
    return MysqlRecordSession(settings_).insert_record(record);
}

MysqlOutcome MysqlRecordStore::remove_record(const std::string& digest, bool* removed) const {
    MysqlConnection connection(settings_);
    connection.execute("set names GBK");
    MysqlOutcome outcome =
        connection.run("DELETE FROM remote_imgs WHERE ImgMd5='" + connection.escaped(digest) + "'");
    if (removed)
        *removed = outcome.ok && mysql_affected_rows(connection.handle()) > 0;
    return outcome;
}

MysqlOutcome MysqlRecordStore::replace_address(const std::string& digest, const std::string& address,
                                             unsigned long long* changed) const {
    if (changed)
        *changed = 0;
    UploadRecord probe;
    probe.ImgUrl = address;
    if (std::string problem = unfitting_field(probe); !problem.empty())
        return {false, problem};
    MysqlConnection connection(settings_);
    connection.execute("set names GBK");
    MysqlOutcome outcome = connection.run("UPDATE remote_imgs SET ImgUrl='" + connection.escaped(address) +
                                          "' WHERE ImgMd5='" + connection.escaped(digest) + "'");
    if (outcome.ok && changed)
        *changed = mysql_affected_rows(connection.handle());
    return outcome;
}

MysqlOutcome MysqlRecordStore::remove_all_records() const {
    MysqlConnection connection(settings_);
    return connection.run("DELETE FROM remote_imgs");
}

bool MysqlRecordStore::test_connection() const {
    return MysqlConnection(settings_).connected();
}

MysqlOutcome MysqlRecordStore::check_connection() const {
    MysqlConnection connection(settings_);
    return {connection.connected(), connection.error()};
}

} // namespace velpic
