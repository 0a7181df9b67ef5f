// What the commands that work on single pictures (delete, restore, backup) need from the stored settings.
#pragma once

#include "cli/commands.h"
#include "records/link_check.h"
#include "upload/upload_picture.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace velpic {

struct PictureCommandContext {
    UploadContext upload;
    LinkCheckOptions check; // the stored Referer, when it is a usable one
};

// The context of the stored settings; nullopt after telling io.err why it cannot be used (status then says how
// the command ends: 2 without the Gitee settings, 1 for incomplete MySQL settings).
std::optional<PictureCommandContext> picture_command_context(const char* command, CommandIo& io, int& status);

// A text from the library (GBK) for the terminal (UTF-8).
std::string terminal_text(const std::string& gbk);

// Saves the branch an upload with used learned (UploadContext::branch_learned) in the settings file.
std::function<void(const std::string&)> branch_saver(const RepositoryProfile& used);

// Tells err, one line each time, that the service asked to wait (UploadContext::wait_notice); err must outlive it.
std::function<void(const std::string&)> wait_notice_to(std::ostream& err);

} // namespace velpic
