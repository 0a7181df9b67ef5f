// The shared record table `remote_imgs` on a MySQL or MariaDB server. Every operation opens its own connection
// and closes it before returning, so operations on different threads never share a handle.
#pragma once

#include "records/mysql_settings.h"
#include "records/upload_record.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velpic {

// Outcome of a statement whose failure a caller reports ("the record was not saved").
struct MysqlOutcome {
    bool ok = false;
    std::string error; // the client library's message when !ok
};

class MysqlConnection;

// The duplicate lookup and the insert of one upload over one connection, opened by the lookup and closed when the
// session ends. A connection that failed, or that the server dropped while the picture was committed, is opened
// again for the insert.
//
// A row whose ImgUrl does not name its file (record_names_its_file) counts as no record, as in the local record
// file: older versions stored error texts that merely held the raw-file prefix. The insert of that digest then
// replaces the row.
class MysqlRecordSession {
public:
    explicit MysqlRecordSession(MysqlSettings settings);
    ~MysqlRecordSession();
    MysqlRecordSession(const MysqlRecordSession&) = delete;
    MysqlRecordSession& operator=(const MysqlRecordSession&) = delete;

    // As MysqlRecordStore::find_recorded_address.
    std::optional<std::string> find_recorded_address(const std::string& digest);
    // As MysqlRecordStore::insert_record.
    MysqlOutcome insert_record(const UploadRecord& record);

private:
    MysqlConnection& connection(bool check_alive);

    MysqlSettings settings_;
    std::unique_ptr<MysqlConnection> connection_;
    std::string unusable_row_; // the digest whose row the lookup found but could not use
};

class MysqlRecordStore {
public:
    explicit MysqlRecordStore(MysqlSettings settings);

    // Creates the table when it does not exist yet; harmless to repeat.
    MysqlOutcome ensure_record_table() const;

    // The records uploaded from machine_code, in the server's row order. Failures give an empty list; outcome,
    // when given, tells them from a table without this machine's records (the client library's message).
    std::vector<UploadRecord> list_machine_records(const std::string& machine_code,
                                                   MysqlOutcome* outcome = nullptr) const;

    // Every machine's records, in the server's row order.
    std::vector<UploadRecord> list_all_records(MysqlOutcome* outcome = nullptr) const;

    // The recorded address of digest, whichever machine uploaded it; nullopt when not recorded, recorded without an
    // address of its file, or unreachable.
    std::optional<std::string> find_recorded_address(const std::string& digest) const;

    // Stores one record (digest, upload time, machine code, address, picture type).
    MysqlOutcome insert_record(const UploadRecord& record) const;

    // Deletes the row of digest, whichever machine wrote it; removed tells whether there was one.
    MysqlOutcome remove_record(const std::string& digest, bool* removed = nullptr) const;

    // Sets the address of every row of digest, whichever machine wrote it; changed tells how many rows now hold
    // it that did not before. An address wider than the table's column is refused before anything is sent.
    MysqlOutcome replace_address(const std::string& digest, const std::string& address,
                                 unsigned long long* changed = nullptr) const;

    // Deletes the records of every machine.
    MysqlOutcome remove_all_records() const;

    // Whether a connection with these settings can be opened at all.
    bool test_connection() const;
    // The same, with the client library's reason when it cannot.
    MysqlOutcome check_connection() const;

    const MysqlSettings& settings() const { return settings_; }

private:
    MysqlSettings settings_;
};

} // namespace velpic
