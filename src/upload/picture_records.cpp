#include "upload/picture_records.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "records/record_list.h"
#include "runtime/codepage.h"

namespace velpic {

namespace {

bool use_mysql(const UploadContext& context) {
    return context.record_mode == "mysql";
}

} // namespace

PictureRecordLookup find_picture_record(const UploadContext& context, const std::string& digest) {
    PictureRecordLookup lookup;
    if (!use_mysql(context)) {
        lookup.answered = true;
        lookup.address = find_local_record(local_record_file_path(context.program_dir), digest);
        return lookup;
    }
    const MysqlRecordStore store(context.mysql);
    const MysqlOutcome connected = store.check_connection();
    if (!connected.ok) {
        lookup.error = "MySQL: " + connected.error;
        return lookup;
    }
    lookup.answered = true;
    lookup.address = store.find_recorded_address(digest);
    return lookup;
}

PictureRecordRemoval remove_picture_record(const UploadContext& context, const std::string& digest) {
    PictureRecordRemoval removal;
    if (use_mysql(context)) {
        const MysqlOutcome outcome = MysqlRecordStore(context.mysql).remove_record(digest, &removal.removed);
        removal.ok = outcome.ok;
        if (!outcome.ok)
            removal.error = "MySQL: " + outcome.error;
        return removal;
    }
    const std::filesystem::path file = local_record_file_path(context.program_dir);
    removal.ok = remove_local_record(file, digest, &removal.removed);
    if (!removal.ok)
        removal.error = utf8_to_gbk("无法写入 " + file.string());
    return removal;
}

std::vector<UploadRecord> list_picture_records(const UploadContext& context, std::string* error) {
    MysqlOutcome outcome{true, {}};
    std::vector<UploadRecord> records =
        load_record_rows(use_mysql(context), context.mysql, context.machine_code, context.program_dir, &outcome);
    if (error)
        *error = outcome.ok ? std::string() : "MySQL: " + outcome.error;
    return records;
}

std::string recorded_type(const std::string& address, const std::string& digest) {
    const std::string name = address.substr(address.rfind('/') + 1);
    if (name.size() <= digest.size() || name.compare(0, digest.size(), digest) != 0)
        return {};
    return name.substr(digest.size());
}

} // namespace velpic
