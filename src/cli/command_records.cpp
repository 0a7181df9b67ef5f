// `velpic records`: the records of the configured store.
#include "cli/commands.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "settings/settings_store.h"
#include "settings/stored_settings.h"

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    if (!args.empty()) {
        io.err << "velpic records: takes no arguments\n";
        print_short_usage(io.err, &records_command);
        return 2;
    }
    std::string problem;
    const StateSnapshot settings = stored_settings(&problem);
    if (!problem.empty()) {
        io.err << "velpic records: " << to_utf8(problem) << "\n";
        return 1;
    }
    std::vector<UploadRecord> records;
    if (settings.mysql_mode()) {
        if (!settings.mysql.complete()) {
            io.err << "MySQL settings are incomplete (" << settings_file_path().string() << ")\n";
            return 1;
        }
        MysqlOutcome outcome;
        records = MysqlRecordStore(settings.mysql).list_machine_records(settings.machine_code, &outcome);
        if (!outcome.ok) {
            // An empty listing must mean "no records", never "could not ask".
            const std::string reason = is_valid_utf8(outcome.error) ? outcome.error : to_utf8(outcome.error);
            io.err << "cannot list the MySQL records: " << reason << "\n";
            return 1;
        }
    } else {
        const std::filesystem::path file = local_record_file_path(program_dir());
        // Listed as empty, a FIFO or device in the file's place would pass for "no records".
        if (std::string refusal = local_record_file_problem(file); !refusal.empty()) {
            io.err << "velpic records: " << to_utf8(refusal) << "\n";
            return 1;
        }
        records = read_all_local_records(file);
    }
    for (const UploadRecord& record : records)
        io.out << to_utf8(record.ImgMd5) << "\t" << to_utf8(record.ImgType) << "\t" << to_utf8(record.ImgUrl) << "\n";
    return 0;
}

} // namespace

const Command records_command{
    "records",
    "records",
    "lists the records of the configured store: digest, type and address, tab-separated.",
    run,
};

} // namespace velpic
