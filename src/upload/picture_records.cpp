#include "upload/picture_records.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "records/record_list.h"
#include "runtime/codepage.h"
#include "runtime/files.h"

#include <fstream>

#include <unordered_set>

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

std::vector<UploadRecord> list_every_picture_record(const UploadContext& context, std::string* error) {
    if (error)
        error->clear();
    if (!use_mysql(context)) {
        // No file is no records; a file that cannot be read must not pass for one.
        const std::filesystem::path file = local_record_file_path(context.program_dir);
        std::string problem = local_record_file_problem(file);
        if (problem.empty() && file_exists(file) && !std::ifstream(file, std::ios::binary))
            problem = utf8_to_gbk("无法读取 " + file.string());
        if (error)
            *error = problem;
        return problem.empty() ? read_all_local_records(file) : std::vector<UploadRecord>{};
    }
    MysqlOutcome outcome;
    std::vector<UploadRecord> rows = MysqlRecordStore(context.mysql).list_all_records(&outcome);
    if (!outcome.ok) {
        if (error)
            *error = "MySQL: " + outcome.error;
        return {};
    }
    std::unordered_set<std::string> seen;
    std::erase_if(rows, [&](const UploadRecord& row) { return !seen.insert(row.ImgMd5).second; });
    return rows;
}

PictureRecordUpdate replace_picture_record_address(const UploadContext& context, const std::string& digest,
                                                   const std::string& old_address, const std::string& new_address) {
    PictureRecordUpdate update;
    if (use_mysql(context)) {
        const MysqlOutcome outcome = MysqlRecordStore(context.mysql).replace_address(digest, new_address);
        update.ok = outcome.ok;
        if (!outcome.ok)
            update.error = "MySQL: " + outcome.error;
        return update;
    }
    const std::filesystem::path file = local_record_file_path(context.program_dir);
    update.ok = replace_local_record_address(file, digest, old_address, new_address);
    if (update.ok)
        return update;
    const std::optional<std::string> now = find_local_record(file, digest);
    if (!now)
        update.error = utf8_to_gbk("记录已不在记录文件中");
    else if (*now != old_address)
        update.error = utf8_to_gbk("记录的地址已被改为 ") + *now;
    else
        update.error = utf8_to_gbk("无法写入 " + file.string());
    return update;
}

std::string recorded_type(const std::string& address, const std::string& digest) {
    const std::string name = address.substr(address.rfind('/') + 1);
    if (name.size() <= digest.size() || name.compare(0, digest.size(), digest) != 0)
        return {};
    return name.substr(digest.size());
}

} // namespace velpic
