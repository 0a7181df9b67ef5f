// `velpic publish` of a folder of notes whose pictures are all uploaded already (their records present), against
// `grep -c` counting the image marks of the same files: the floor of any tool that reads every note once. A dry
// run must also read every picture named to know its address, so its floor is grep plus `md5sum` over those
// pictures; the real run is set against `sed -i` rewriting the same notes.
// Each round publishes a fresh copy of the notes in this process (the parse, the picture reads and digests, the
// record lookups, the atomic replacement of every note), first as a dry run, then for real, then once more
// (nothing left to do) and a fourth time (every note remembered settled by the third), and runs grep as a child; the
// figures are medians. The real run is set against the sed of its own round, run just before it, and the median of
// those ratios is given with their spread. --dir puts the notes elsewhere, e.g. on a tmpfs, to tell the file
// system's share of the real run.
//   ./build/bench/publish_notes_ratio [--notes 1000] [--references 5] [--pictures 200] [--picture-kb 115]
//                                     [--rounds 5] [--dir DIR]
#include "process_usage.h"

#include "notes/publish_notes.h"
#include "notes/settled_notes.h"
#include "records/local_record_file.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "upload/contents_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Options {
    int notes = 1000;
    int references = 5; // per note
    int pictures = 200;
    int picture_kb = 115;
    int rounds = 5;
    fs::path dir;
};

// CPU seconds of this process so far, every thread counted.
double own_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void write_file(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// A picture: the PNG signature and bytes of its own.
std::string picture_bytes(int index, const Options& options) {
    std::string bytes("\x89PNG\r\n\x1a\n", 8);
    const std::size_t size = static_cast<std::size_t>(options.picture_kb) * 1024;
    bytes.reserve(size);
    for (int i = 0; bytes.size() < size; ++i)
        bytes += static_cast<char>((index * 131 + i * 7) & 0xFF);
    return bytes;
}

// A note of some prose around its references, in the forms notes use: inline with and without a title, angle
// brackets, a reference definition, an img tag; and a code block that publish must read past.
std::string note_text(int note, const Options& options) {
    std::ostringstream text;
    text << "# Note " << note << "\n\nSome prose about the pictures below, as notes have it. Lorem ipsum dolor sit "
         << "amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore.\n\n";
    std::string definitions;
    for (int r = 0; r < options.references; ++r) {
        const int picture = (note * options.references + r) % options.pictures;
        const std::string file = "images/pic " + std::to_string(picture) + ".png";
        switch (r % 5) {
        case 0:
            text << "![first](<" << file << ">)\n\n";
            break;
        case 1:
            text << "A line with ![inline](<" << file << "> \"a title\") in it.\n\n";
            break;
        case 2:
            text << "![by reference][p" << r << "]\n\n";
            definitions += "[p" + std::to_string(r) + "]: <" + file + ">\n";
            break;
        case 3:
            text << "<img src=\"" << file << "\" width=\"300\">\n\n";
            break;
        default:
            text << "- item ![item](<" << file << ">)\n\n";
            break;
        }
    }
    text << "```\n![not this](images/none.png)\n```\n\n";
    // Prose up to the 3 KB of a real note.
    while (text.tellp() < 3000 - static_cast<std::streamoff>(definitions.size()))
        text << "More prose between the pictures, with a [link](https://example.com/page) and `code`.\n";
    text << "\n" << definitions;
    return text.str();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--notes")
            options.notes = std::atoi(argv[i + 1]);
        else if (name == "--references")
            options.references = std::atoi(argv[i + 1]);
        else if (name == "--pictures")
            options.pictures = std::atoi(argv[i + 1]);
        else if (name == "--picture-kb")
            options.picture_kb = std::atoi(argv[i + 1]);
        else if (name == "--rounds")
            options.rounds = std::atoi(argv[i + 1]);
        else if (name == "--dir")
            options.dir = argv[i + 1];
    }
    if (options.notes <= 0 || options.references <= 0 || options.pictures <= 0 || options.rounds <= 0) {
        std::cerr << "usage: publish_notes_ratio [--notes N] [--references N] [--pictures N] [--rounds N] [--dir D]\n";
        return 2;
    }
    char pattern[] = "/tmp/velpic-publish-bench-XXXXXX";
    const fs::path root = options.dir.empty() ? fs::path(mkdtemp(pattern)) : options.dir;
    const fs::path source = root / "source";
    const fs::path data = root / "data";
    fs::create_directories(source / "images");
    fs::create_directories(data);

    unsetenv("VELPIC_SERVICE_BASE");
    velpic::UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = data;

    // Every picture recorded already, in one write.
    std::string records;
    for (int p = 0; p < options.pictures; ++p) {
        const std::string bytes = picture_bytes(p, options);
        write_file(source / "images" / ("pic " + std::to_string(p) + ".png"), bytes);
        const std::string digest = velpic::md5_hex(bytes);
        const std::string address = velpic::raw_address_prefix("alice", "pics") + digest + ".png";
        const velpic::IniKeyValue entries[] = {
            {"ImgMd5", digest}, {"ImgType", ".png"}, {"ImgUploadTime", "1638000000000"}, {"ImgUrl", address}};
        velpic::append_ini_text(records, digest, entries);
    }
    write_file(velpic::local_record_file_path(data), records);
    std::vector<std::string> note_names;
    for (int n = 0; n < options.notes; ++n) {
        note_names.push_back("note-" + std::to_string(n) + ".md");
        write_file(source / note_names.back(), note_text(n, options));
    }

    std::vector<double> publish_seconds, dry_seconds, again_seconds, remembered_seconds, grep_seconds, md5_seconds,
        sed_seconds, publish_to_sed;
    // sed rewriting every note in place, on a copy of its own, right before or after the publish (by turns, so that
    // neither always meets the inodes the other freed): both meet the file system in much the same state, whose
    // speed drifts over the seconds of a round.
    const auto time_sed = [&](const fs::path& notes, int round) {
        const fs::path sed_notes = root / ("sed-" + std::to_string(round));
        fs::remove_all(sed_notes);
        fs::create_directories(sed_notes);
        std::vector<std::string> sed{"sed", "-i", "s/images\\/pic /https:\\/\\/gitee.com\\/alice\\/pics\\/raw\\/x/g"};
        for (const std::string& name : note_names) {
            fs::copy_file(notes / name, sed_notes / name);
            sed.push_back((sed_notes / name).string());
        }
        ::sync();
        return bench::run_measured(sed).wall_seconds;
    };
    // CPU time as well: on a machine busy with other work the wall times scatter, the CPU times much less.
    std::vector<double> dry_cpu, again_cpu, grep_cpu, md5_cpu;
    const std::size_t expected = static_cast<std::size_t>(options.notes) * static_cast<std::size_t>(options.references);
    for (int round = 0; round < options.rounds; ++round) {
        const fs::path notes = root / ("round-" + std::to_string(round));
        fs::remove_all(notes);
        fs::copy(source, notes, fs::copy_options::recursive);
        // Each round starts with nothing remembered, as the first round does.
        fs::remove(velpic::settled_notes_path(data));

        std::vector<std::string> grep{"grep", "-c", "!\\["};
        for (const std::string& name : note_names)
            grep.push_back((notes / name).string());
        const bench::ChildUsage grep_run = bench::run_measured(grep);
        grep_seconds.push_back(grep_run.wall_seconds);
        grep_cpu.push_back(grep_run.cpu_seconds);
        // The pictures the notes name, each read once, as a dry run must.
        std::vector<std::string> md5sum{"md5sum"};
        for (int p = 0; p < std::min(options.pictures, options.notes * options.references); ++p)
            md5sum.push_back((notes / "images" / ("pic " + std::to_string(p) + ".png")).string());
        const bench::ChildUsage md5_run = bench::run_measured(md5sum);
        md5_seconds.push_back(md5_run.wall_seconds);
        md5_cpu.push_back(md5_run.cpu_seconds);
        // A dry run, the publish itself, a second publish that finds everything published already, and a third.
        for (int pass = 0; pass < 4; ++pass) {
            if (pass == 1 && round % 2 == 0)
                sed_seconds.push_back(time_sed(notes, round));
            velpic::PublishOptions publish;
            publish.dry_run = pass == 0;
            std::ostringstream out, err;
            // The publish flushes its notes with syncfs; what this program and sed wrote before is not its cost.
            ::sync();
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = own_cpu_seconds();
            const int status = velpic::publish_notes({notes.string()}, publish, context, out, err);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const std::string summary = out.str().substr(out.str().rfind("publish"));
            const std::size_t wanted = pass >= 2 ? 0 : expected;
            if (status != 0 || summary.find(": " + std::to_string(wanted) + " references") == std::string::npos) {
                std::cerr << "publish did not rewrite every reference: " << summary << err.str().substr(0, 2000);
                return 1;
            }
            (pass == 0   ? dry_seconds
             : pass == 1 ? publish_seconds
             : pass == 2 ? again_seconds
                         : remembered_seconds)
                .push_back(seconds);
            if (pass == 0 || pass == 2)
                (pass == 0 ? dry_cpu : again_cpu).push_back(own_cpu_seconds() - cpu_start);
            if (pass == 1 && round % 2 == 1)
                sed_seconds.push_back(time_sed(notes, round));
            if (pass == 1)
                publish_to_sed.push_back(seconds / sed_seconds.back());
        }
    }
    // Removed only now: ext4 steps over the inodes freed in the last minute when it makes a file, and a round that
    // met the thousands freed by the round before would time that (sed and publish alike, by chance).
    for (int round = 0; round < options.rounds; ++round) {
        fs::remove_all(root / ("round-" + std::to_string(round)));
        fs::remove_all(root / ("sed-" + std::to_string(round)));
    }
    if (options.dir.empty())
        fs::remove_all(root);

    const double grep_median = median(grep_seconds);
    const double publish_median = median(publish_seconds);
    const double dry_median = median(dry_seconds);
    const double again_median = median(again_seconds);
    const double md5_median = median(md5_seconds);
    const double sed_median = median(sed_seconds);
    const double floor = grep_median + md5_median;
    std::printf("%d notes, %zu references, %d pictures recorded; medians of %d rounds\n", options.notes, expected,
                options.pictures, options.rounds);
    std::printf("grep -c:            %8.1f ms\n", grep_median * 1000);
    std::printf("md5sum of pictures: %8.1f ms\n", md5_median * 1000);
    std::printf("sed -i:             %8.1f ms\n", sed_median * 1000);
    std::printf("publish --dry-run:  %8.1f ms  (%.2fx grep + md5sum; target <= 1.5x; CPU %.2fx)\n",
                dry_median * 1000, dry_median / floor, median(dry_cpu) / (median(grep_cpu) + median(md5_cpu)));
    std::printf("publish:            %8.1f ms  (%.2fx sed -i, rounds %.2f-%.2fx; %.2fx grep)\n", publish_median * 1000,
                median(publish_to_sed), *std::min_element(publish_to_sed.begin(), publish_to_sed.end()),
                *std::max_element(publish_to_sed.begin(), publish_to_sed.end()), publish_median / grep_median);
    std::printf("publish once more:  %8.1f ms  (%.2fx grep; target <= 2x; nothing left to rewrite; CPU %.2fx)\n",
                again_median * 1000, again_median / grep_median, median(again_cpu) / median(grep_cpu));
    std::printf("and once again:     %8.1f ms  (%.2fx grep; every note remembered settled)\n",
                median(remembered_seconds) * 1000, median(remembered_seconds) / grep_median);
    return 0;
}
