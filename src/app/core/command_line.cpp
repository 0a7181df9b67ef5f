#include "app/core/command_line.h"

#include "app/core/app_state.h"
#include "app/core/settings_store.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/program_dir.h"
#include "upload/upload_picture.h"

#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

namespace {

// The arguments after the program name, with --data-dir already applied and taken out.
std::vector<std::string> plain_arguments(int argc, char** argv) {
    std::vector<char*> copy(argv, argv + argc);
    copy.push_back(nullptr);
    int count = argc;
    set_program_dir_from_args(count, copy.data());
    return std::vector<std::string>(copy.begin() + (count > 0 ? 1 : 0), copy.begin() + count);
}

void print_usage(std::ostream& out) {
    out << "usage: velpic [--data-dir DIR] upload FILE...\n"
           "       velpic [--data-dir DIR] records\n"
           "       velpic [--data-dir DIR] --help\n"
           "\n"
           "upload   commits each picture (.png, .jpg, .jpeg, .gif) into the configured repository with the\n"
           "         stored settings and record mode, and prints one line per file, in file order: its address,\n"
           "         or an empty line when it failed. A picture recorded before is not sent again. Failures go\n"
           "         to standard error; the exit status is 1 when any file failed.\n"
           "records  lists the records of the configured store: digest, type and address, tab-separated.\n"
           "\n"
           "Settings come from \"配置.ini\" in the data directory (beside the program unless --data-dir or\n"
           "VELPIC_DATA_DIR says otherwise); save them once in the window.\n";
}

// Writes addresses nowhere but the result; messages go to the error stream as UTF-8 lines.
class CommandLineReporter : public UploadReporter {
public:
    CommandLineReporter(std::ostream& err, std::string file) : err_(err), file_(std::move(file)) {}
    void show_status(const std::string&) override {}
    void show_address(const std::string&) override {}
    void copy_address(const std::string&) override {}
    void show_message(const std::string& text) override { err_ << file_ << ": " << to_utf8(text) << "\n"; }

private:
    std::ostream& err_;
    std::string file_;
};

UploadContext load_context(StateSnapshot& settings) {
    AppState state;
    SettingsStore(settings_file_path()).load_at_start(state);
    settings = state.snapshot();
    return upload_context(settings, program_dir());
}

// The file's address in UTF-8, or empty after telling err why not.
std::string upload_file(const UploadContext& context, const std::string& file, std::ostream& err) {
    const std::string extension = picture_extension(file);
    if (!is_picture_extension(extension)) {
        err << file << ": 只能是PNG,JPG,GIF格式的图片！\n";
        return {};
    }
    const std::string data = read_whole_file(std::filesystem::path(file));
    if (data.empty()) {
        err << file << ": cannot read the file, or it is empty\n";
        return {};
    }
    CommandLineReporter reporter(err, file);
    UploadResult result = upload_picture(context, utf8_to_gbk(extension), data, reporter);
    return result.ok ? to_utf8(result.address) : std::string();
}

int upload_files(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
    if (files.empty()) {
        print_usage(err);
        return 2;
    }
    StateSnapshot settings;
    const UploadContext context = load_context(settings);
    if (!settings.gitee_known()) {
        err << "请先填写配置！ (" << settings_file_path().string() << ")\n";
        return 2;
    }
    // Callers match the last lines of the output to their files by position, so a failed file keeps its line
    // (empty: no address).
    int failed = 0;
    for (const std::string& file : files) {
        const std::string address = upload_file(context, file, err);
        if (address.empty())
            ++failed;
        out << address << "\n" << std::flush;
    }
    return failed == 0 ? 0 : 1;
}

int list_records(std::ostream& out, std::ostream& err) {
    StateSnapshot settings;
    const UploadContext context = load_context(settings);
    std::vector<UploadRecord> records;
    if (settings.mysql_mode()) {
        if (!settings.mysql.complete()) {
            err << "MySQL settings are incomplete (" << settings_file_path().string() << ")\n";
            return 1;
        }
        MysqlOutcome outcome;
        records = MysqlRecordStore(settings.mysql).list_machine_records(settings.machine_code, &outcome);
        if (!outcome.ok) {
            // An empty listing must mean "no records", never "could not ask".
            // Server messages arrive in the connection's GBK; the client's own are ASCII.
            const std::string reason = is_valid_utf8(outcome.error) ? outcome.error : to_utf8(outcome.error);
            err << "cannot list the MySQL records: " << reason << "\n";
            return 1;
        }
    } else {
        records = read_all_local_records(local_record_file_path(context.program_dir));
    }
    for (const UploadRecord& record : records)
        out << to_utf8(record.ImgMd5) << "\t" << to_utf8(record.ImgType) << "\t" << to_utf8(record.ImgUrl) << "\n";
    return 0;
}

} // namespace

bool is_command_line(int argc, char** argv) {
    std::vector<std::string> args = plain_arguments(argc, argv);
    if (args.empty())
        return false;
    const std::string& first = args.front();
    return first == "upload" || first == "records" || first == "--help" || first == "-h" || first == "help";
}

int run_command_line(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args = plain_arguments(argc, argv);
    if (args.empty()) {
        print_usage(err);
        return 2;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        print_usage(out);
        return 0;
    }
    if (command == "upload")
        return upload_files(args, out, err);
    if (command == "records" && args.empty())
        return list_records(out, err);
    print_usage(err);
    return 2;
}

} // namespace velpic
