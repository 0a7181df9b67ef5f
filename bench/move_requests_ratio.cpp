// A move of many pictures into each hosting service, against its stand-in: requests and commits per picture at the
// target, and the time beside a move into gitee, which commits one file per request. The pictures start recorded
// in a gitee repository with their archive copies, so only the target's requests are counted.
//
//   move_requests_ratio [--pictures N]
#include "records/local_record_file.h"
#include "support/forge_test_service.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/picture_move.h"
#include "upload/upload_picture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace velpic;
using Clock = std::chrono::steady_clock;

struct Measured {
    const char* service;
    std::size_t pictures = 0;
    std::size_t requests = 0;
    std::size_t commits = 0;
    double seconds = 0;
    bool complete = false;
};

// A store of count pictures recorded in gitee's alice/pics, with their archive copies, in dir.
UploadContext recorded_pictures(const test::TestService& gitee, const std::filesystem::path& dir, int count) {
    UploadContext context;
    context.service_url = gitee.base();
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = dir;
    CollectingReporter reporter;
    for (int i = 0; i < count; ++i) {
        const std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + "bench picture " + std::to_string(i) +
                                  std::string(2048, static_cast<char>('a' + i % 26));
        if (!upload_picture(context, ".png", bytes, reporter).ok) {
            std::fprintf(stderr, "could not record picture %d\n", i);
            std::exit(1);
        }
    }
    return context;
}

Measured move_into(const char* name, const RepositoryProfile& target, const UploadContext& context,
                   const std::filesystem::path& dir) {
    MoveRequest request;
    request.to = target;
    request.map_path = dir / "map.txt";
    const Clock::time_point start = Clock::now();
    const MoveReport report = move_pictures(context, request);
    Measured measured;
    measured.service = name;
    measured.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    measured.pictures = report.records;
    measured.complete = report.complete();
    return measured;
}

} // namespace

int main(int argc, char** argv) {
    int pictures = 1000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--pictures") == 0)
            pictures = std::atoi(argv[i + 1]);

    std::vector<Measured> results;
    {
        test::TestService source, target;
        test::TempDir dir;
        const UploadContext context = recorded_pictures(source, dir.path(), pictures);
        RepositoryProfile to = context;
        to.service_url = target.base();
        Measured measured = move_into("gitee", to, context, dir.path());
        measured.requests = target.requests().size();
        measured.commits = target.count_requests("POST", "/api/v5/repos/alice/pics/contents/");
        results.push_back(measured);
    }
    for (const auto flavor : {test::ForgeTestService::Flavor::github, test::ForgeTestService::Flavor::gitea}) {
        test::TestService source;
        test::ForgeTestService target(flavor);
        target.add_repository("alice", "pics");
        setenv("VELPIC_RAW_BASE", target.base().c_str(), 1);
        test::TempDir dir;
        const UploadContext context = recorded_pictures(source, dir.path(), pictures);
        RepositoryProfile to = context;
        const bool github = flavor == test::ForgeTestService::Flavor::github;
        to.service = github ? ServiceKind::github : ServiceKind::gitea;
        to.service_url = target.base();
        Measured measured = move_into(github ? "github" : "gitea", to, context, dir.path());
        measured.requests = target.requests().size();
        measured.commits = target.commits_made("alice", "pics");
        results.push_back(measured);
    }

    std::printf("a move of %d pictures, counted at the target service\n", pictures);
    std::printf("%-8s %9s %9s %12s %12s %9s %14s\n", "service", "requests", "commits", "requests/pic", "commits/pic",
                "seconds", "time / gitee's");
    bool all_complete = true;
    for (const Measured& m : results) {
        const double per = m.pictures == 0 ? 0 : 1.0 / static_cast<double>(m.pictures);
        std::printf("%-8s %9zu %9zu %12.3f %12.4f %9.2f %14.2f%s\n", m.service, m.requests, m.commits,
                    static_cast<double>(m.requests) * per, static_cast<double>(m.commits) * per, m.seconds,
                    m.seconds / results.front().seconds, m.complete ? "" : "  (incomplete)");
        all_complete = all_complete && m.complete;
    }
    return all_complete ? 0 : 1;
}
