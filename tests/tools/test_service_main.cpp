// velpic-test-service: the hosting-service stand-in as a program, for trying Velpic end to end with
// VELPIC_SERVICE_BASE set to the address it prints.
#include "support/test_service.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void usage(std::ostream& out) {
    out << "usage: velpic-test-service [--port N] [--token TOKEN] [--branch NAME] [--tls]\n"
           "  Serves create-file (POST /api/v5/repos/OWNER/REPO/contents/PATH), read-file (GET the same path,\n"
           "  ?access_token=...), clear (PUT .../clear) and raw files (GET /OWNER/REPO/raw/master/PATH) from\n"
           "  memory on 127.0.0.1 until interrupted.\n"
           "  --token: the only access token accepted (default: any non-empty token).\n"
           "  --branch: branch named in the download addresses it hands out (default: master).\n";
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string token;
    std::string branch = "master";
    bool tls = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--port" && has_value) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--token" && has_value) {
            token = argv[++i];
        } else if (arg == "--branch" && has_value) {
            branch = argv[++i];
        } else if (arg == "--tls") {
            tls = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        } else {
            usage(std::cerr);
            return 2;
        }
    }

    // Signals are taken by sigwait below, so block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    using velpic::test::TestService;
    TestService service(tls ? TestService::Transport::tls : TestService::Transport::plain, port);
    if (!service.running()) {
        std::cerr << "velpic-test-service: cannot listen on port " << port << "\n";
        return 1;
    }
    service.set_access_token(token);
    service.set_download_branch(branch);
    std::cout << service.base() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    service.stop();
    return 0;
}
