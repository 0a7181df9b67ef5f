// Moves every picture recorded in a program directory (local records) from alice/pics into bob/new-pics at the
// service VELPIC_SERVICE_BASE names, for the test that kills it at random moments:
//   velpic-picture-mover PROGRAM_DIR
// Prints "ready" before it starts; exits 0 when the move completed.
#include "upload/picture_move.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    velpic::UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = argv[1];
    velpic::MoveRequest request;
    request.to = context;
    request.to.owner = "bob";
    request.to.repo = "new-pics";
    request.map_path = context.program_dir / "map.txt";
    std::printf("ready\n");
    std::fflush(stdout);
    return velpic::move_pictures(context, request).complete() ? 0 : 1;
}
