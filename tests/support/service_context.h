// The settings of an upload into alice/pics on the stand-in of the hosting service, shared by the tests that upload.
#pragma once

#include "support/test_service.h"
#include "upload/upload_picture.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace velpic::test {

// Points the program at service (VELPIC_SERVICE_BASE) and returns the settings of an upload into alice/pics with
// token, in local record mode, with its files in program_dir.
inline UploadContext service_upload_context(const TestService& service, const std::filesystem::path& program_dir,
                                            std::string token = "tok") {
    setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = std::move(token);
    context.record_mode = "local";
    context.program_dir = program_dir;
    return context;
}

} // namespace velpic::test
