// Listing a machine's MySQL records against the mariadb client running the same statements ("set names GBK" and
// the SELECT), on the tests' private MariaDB server, in one run: each side is a process of its own, measured by
// wait4 (CPU time, median of the rounds). The program's side is measured twice: the listing of the record store
// alone, and the whole `velpic records` command, which also prints every row.
//   ./build/bench/mysql_listing_ratio [--rows 100000] [--rounds 5] [--velpic PATH]
#include "settings/machine_code.h"
#include "process_usage.h"
#include "records/mysql_record_store.h"
#include "support/mariadb_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bench::ChildUsage;
using bench::median;
using bench::run_measured;

struct Options {
    int rows = 100000;
    int rounds = 5;
    std::string velpic = VELPIC_PROGRAM;
};

// `mysql_listing_ratio --list HOST PORT USER PASSWORD DATABASE MACHINE`: the store's listing, in a process of its own.
int list_once(char** argv) {
    velpic::MysqlSettings settings;
    settings.server = argv[2];
    settings.port = std::atoi(argv[3]);
    settings.user = argv[4];
    settings.password = argv[5];
    settings.database = argv[6];
    velpic::MysqlOutcome outcome;
    const std::size_t listed = velpic::MysqlRecordStore(settings).list_machine_records(argv[7], &outcome).size();
    std::printf("%zu\n", listed);
    if (!outcome.ok)
        std::fprintf(stderr, "%s\n", outcome.error.c_str());
    return outcome.ok ? 0 : 1;
}

// rows records of machine, and a tenth as many of another machine that the listing must leave out.
bool fill_table(velpic::test::MariaDbServer& server, const std::string& database, const std::string& machine,
                int rows) {
    const int others = rows / 10;
    std::string statement;
    for (int i = 0; i < rows + others; ++i) {
        if (statement.empty())
            statement = "INSERT INTO `" + database + "`.remote_imgs VALUES ";
        else
            statement += ",";
        char digest[33];
        std::snprintf(digest, sizeof digest, "%016x%016lx", i < rows ? 1u : 2u, static_cast<unsigned long>(i));
        statement += std::string("('") + digest + "','1700000000123','" + (i < rows ? machine : "another") +
                     "','https://gitee.com/owner/repo/raw/master/" + digest + ".png','.png')";
        if ((i + 1) % 2000 == 0 || i + 1 == rows + others) {
            std::string error;
            if (!server.admin_execute(statement, &error)) {
                std::cerr << "filling the table failed: " << error << "\n";
                return false;
            }
            statement.clear();
        }
    }
    return true;
}

std::size_t count_lines(const fs::path& file) {
    std::ifstream in(file);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 8 && std::string(argv[1]) == "--list")
        return list_once(argv);
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--rows")
            options.rows = std::atoi(argv[i + 1]);
        else if (name == "--rounds")
            options.rounds = std::atoi(argv[i + 1]);
        else if (name == "--velpic")
            options.velpic = argv[i + 1];
    }

    velpic::test::MariaDbServer& server = velpic::test::shared_mariadb();
    if (!server.running()) {
        std::cerr << "the MariaDB server did not start: " << server.error() << "\n";
        return 1;
    }
    const std::string database = server.create_database();
    velpic::MysqlSettings settings;
    settings.server = server.host();
    settings.port = server.port();
    settings.user = server.user();
    settings.password = server.password();
    settings.database = database;
    const std::string machine = velpic::compute_machine_code();
    if (!velpic::MysqlRecordStore(settings).ensure_record_table().ok ||
        !fill_table(server, database, machine, options.rows))
        return 1;

    std::string pattern = (fs::temp_directory_path() / "velpic-mysql-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path dir = pattern;
    const fs::path data = dir / "data";
    fs::create_directories(data);
    const std::string port = std::to_string(settings.port);
    const ChildUsage configured = run_measured({options.velpic,
                                                "--data-dir",
                                                data.string(),
                                                "config",
                                                "set",
                                                "owner",
                                                "alice",
                                                "repo",
                                                "pics",
                                                "token",
                                                "tok",
                                                "mode",
                                                "mysql",
                                                "mysql-server",
                                                settings.server,
                                                "mysql-port",
                                                port,
                                                "mysql-user",
                                                settings.user,
                                                "mysql-password",
                                                settings.password,
                                                "mysql-database",
                                                database});
    if (configured.exit_status != 0) {
        std::cerr << "velpic config set failed\n";
        return 1;
    }

    const std::string statements = "set names GBK; SELECT * FROM remote_imgs WHERE UploadMachineCode='" + machine + "'";
    const fs::path out = dir / "out.txt";
    std::vector<double> client, listing, command;
    bool ok = true;
    for (int round = 0; round < options.rounds && ok; ++round) {
        const ChildUsage a =
            run_measured({"mariadb", "--batch", "--skip-column-names", "--host", settings.server, "--port", port,
                          "--user", settings.user, "--password=" + settings.password, database, "-e", statements},
                         {}, out.string());
        ok = ok && a.exit_status == 0 && count_lines(out) == static_cast<std::size_t>(options.rows);
        const ChildUsage b = run_measured(
            {"/proc/self/exe", "--list", settings.server, port, settings.user, settings.password, database, machine},
            {}, out.string());
        ok = ok && b.exit_status == 0 && std::to_string(options.rows) + "\n" == [&] {
            std::ifstream in(out);
            return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }();
        const ChildUsage c = run_measured({options.velpic, "--data-dir", data.string(), "records"}, {}, out.string());
        ok = ok && c.exit_status == 0 && count_lines(out) == static_cast<std::size_t>(options.rows);
        client.push_back(a.cpu_seconds);
        listing.push_back(b.cpu_seconds);
        command.push_back(c.cpu_seconds);
    }
    if (!ok)
        std::cerr << "a listing did not give " << options.rows << " rows\n";

    std::printf("listing %d MySQL records of one machine (of %d rows), CPU of each process, median of %d rounds\n",
                options.rows, options.rows + options.rows / 10, options.rounds);
    std::printf("  mariadb client (set names GBK + the SELECT, batch output)  %8.1f ms\n", median(client) * 1e3);
    std::printf("  record store listing in a process of its own               %8.1f ms   ratio %.2f (target <= 1.5)\n",
                median(listing) * 1e3, median(listing) / median(client));
    std::printf("  velpic records (settings, machine code, listing, printing) %8.1f ms   ratio %.2f\n",
                median(command) * 1e3, median(command) / median(client));

    server.drop_database(database);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
