// Adds records to a local record file in a loop, for the test that kills it at random moments:
//   velpic-record-writer FILE FIRST COUNT
// Record i has the digest "%032x" of i and the address https://gitee.com/o/r/raw/master/<digest>.png. The writer
// prints "ready" before its first record and then the number of each record once it is in the file.
#include "records/local_record_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const std::filesystem::path file = argv[1];
    const long first = std::strtol(argv[2], nullptr, 10);
    const long count = std::strtol(argv[3], nullptr, 10);
    std::printf("ready\n");
    std::fflush(stdout);
    for (long i = first; i < first + count; ++i) {
        char digest[33];
        std::snprintf(digest, sizeof digest, "%032lx", static_cast<unsigned long>(i));
        velpic::UploadRecord record{digest, "1700000000123", "",
                                    std::string("https://gitee.com/o/r/raw/master/") + digest + ".png", ".png"};
        bool written = false;
        if (!velpic::add_local_record_if_absent(file, record, &written) && !written)
            return 1;
        std::printf("%ld\n", i);
        std::fflush(stdout);
    }
    return 0;
}
