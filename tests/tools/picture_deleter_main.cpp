// Deletes one picture of the repository alice/pics at the service VELPIC_SERVICE_BASE names, with the local
// records and archive of a program directory, for the test that kills it at random moments:
//   velpic-picture-deleter PROGRAM_DIR DIGEST
// Prints "ready" before it starts; exits 0 when the delete completed.
#include "upload/picture_delete.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    velpic::UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = argv[1];
    std::printf("ready\n");
    std::fflush(stdout);
    return velpic::delete_picture(context, argv[2], false).ok ? 0 : 1;
}
