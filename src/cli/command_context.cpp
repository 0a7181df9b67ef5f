#include "cli/command_context.h"

#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "settings/settings_store.h"
#include "settings/stored_settings.h"

namespace velpic {

std::optional<PictureCommandContext> picture_command_context(const char* command, CommandIo& io, int& status) {
    const StateSnapshot settings = stored_settings();
    if (!settings.gitee_known()) {
        io.err << "velpic " << command << ": 请先填写配置！ (" << settings_file_path().string() << ")\n";
        status = 2;
        return std::nullopt;
    }
    if (settings.mysql_mode() && !settings.mysql.complete()) {
        io.err << "velpic " << command << ": MySQL settings are incomplete (" << settings_file_path().string() << ")\n";
        status = 1;
        return std::nullopt;
    }
    PictureCommandContext context;
    context.upload = upload_context(settings, program_dir());
    context.upload.wait_notice = wait_notice_to(io.err);
    context.upload.branch_learned = branch_saver(context.upload);
    const std::string referer = to_utf8(settings.check_referer);
    if (link_check_referer(referer))
        context.check.referer = referer;
    context.check.per_host_rate = settings.check_rate;
    return context;
}

std::function<void(const std::string&)> branch_saver(const RepositoryProfile& used) {
    return [used](const std::string& branch) { SettingsStore(settings_file_path()).remember_branch(used, branch); };
}

std::function<void(const std::string&)> wait_notice_to(std::ostream& err) {
    return [&err](const std::string& text) { err << terminal_text(text) << "\n" << std::flush; };
}

std::string terminal_text(const std::string& gbk) {
    // MySQL's messages may be UTF-8 already; everything else is GBK.
    return is_valid_utf8(gbk) ? gbk : to_utf8(gbk);
}

} // namespace velpic
