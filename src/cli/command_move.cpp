// `velpic move --to [SERVICE:]OWNER/REPO [--jobs N]`: re-hosts every recorded picture into another repository, on
// the same hosting service or another, then points the settings there and writes the map of old and new addresses
// for the links outside Velpic.
#include "cli/commands.h"

#include "cli/command_context.h"
#include "cli/command_options.h"
#include "notes/relink_map.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/program_dir.h"
#include "settings/service_profiles.h"
#include "settings/settings_store.h"
#include "upload/picture_move.h"
#include "upload/repository_names.h"

#include <charconv>

namespace velpic {

namespace {

int misuse(CommandIo& io, const std::string& why) {
    io.err << "velpic move: " << why << "\n\n";
    print_usage(io.err);
    return 2;
}

std::string item_line(const MoveItem& item) {
    switch (item.kind) {
    case MoveItem::Kind::moved:
        return "已搬家 → " + to_utf8(item.new_address);
    case MoveItem::Kind::already_there:
        return "已在新仓库 " + to_utf8(item.new_address);
    case MoveItem::Kind::failed:
        break;
    }
    return "失败：" + terminal_text(item.reason);
}

// The settings page with the new repository as the active one, saved the way `velpic config set` saves it.
bool point_settings_at(const RepositoryProfile& target, const std::string& branch, CommandIo& io) {
    const SettingsStore store(settings_file_path());
    SettingsPage page = store.read_page(target.service);
    if (store.active_service() == target.service && page.owner == target.owner && page.repo == target.repo)
        return true;
    page.active_service = target.service;
    page.owner = target.owner;
    page.repo = target.repo;
    page.branch = target.branch.empty() ? branch : target.branch;
    page.address_prefix = target.address_prefix;
    AppState scratch;
    const SaveResult result = store.save(page, store.stored_mysql_mode(), scratch);
    if (!result.saved)
        io.err << "velpic move: " << to_utf8(result.message) << "\n";
    return result.saved;
}

// The repository --to names: the profile of its service (the active one when none is named) pointed at OWNER/REPO.
// A branch or address prefix stored for another repository does not carry over.
RepositoryProfile target_profile(ServiceKind service, const std::string& owner, const std::string& repo) {
    const SettingsStore store(settings_file_path());
    RepositoryProfile target = store.read_profile(service);
    if (service == store.active_service())
        target = in_force(std::move(target));
    if (target.owner != owner || target.repo != repo) {
        target.branch.clear();
        target.address_prefix.clear();
    }
    target.owner = owner;
    target.repo = repo;
    return target;
}

int run(const std::vector<std::string>& args, CommandIo& io) {
    std::string to;
    std::string jobs_text;
    CommandOptions options;
    options.value("--to", &to).value("--jobs", &jobs_text);
    std::vector<std::string> operands;
    std::string why;
    if (!options.parse(args, operands, why))
        return misuse(io, why);
    if (!operands.empty())
        return misuse(io, "takes no operands");
    std::optional<ServiceKind> service;
    if (const std::size_t colon = to.find(':'); colon != std::string::npos) {
        service = service_kind_named(to.substr(0, colon));
        if (!service)
            return misuse(io, "--to names an unknown service \"" + to.substr(0, colon) + "\" (gitee, github or gitea)");
        to = to.substr(colon + 1);
    }
    const std::size_t slash = to.find('/');
    const std::string owner = to.substr(0, slash);
    const std::string repo = slash == std::string::npos ? std::string() : to.substr(slash + 1);
    // The same names the settings page accepts; they go into API paths and addresses as they are.
    if (slash == std::string::npos || !is_valid_repository_name(owner) || !is_valid_repository_name(repo))
        return misuse(io, "--to takes [SERVICE:]OWNER/REPO (letters, digits, \"-\", \"_\" and \".\")");
    int jobs = kDefaultLinkCheckJobs;
    if (!jobs_text.empty()) {
        const char* end = jobs_text.data() + jobs_text.size();
        auto [stop, code] = std::from_chars(jobs_text.data(), end, jobs);
        if (code != std::errc() || stop != end || jobs < 1 || jobs > kMaxLinkCheckJobs)
            return misuse(io, "--jobs takes a number from 1 to " + std::to_string(kMaxLinkCheckJobs));
    }

    int status = 0;
    std::optional<PictureCommandContext> context = picture_command_context("move", io, status);
    if (!context)
        return status;
    MoveRequest request;
    // ASCII names: the same in GBK.
    request.to = target_profile(service.value_or(context->upload.service), owner, repo);
    if (request.to.access_token.empty()) {
        io.err << "velpic move: " << service_name(request.to.service)
               << " 还没有访问令牌，请先保存：velpic config set --service " << service_name(request.to.service)
               << " token - <<< \"$TOKEN\"\n";
        return 1;
    }
    request.map_path = move_map_path(program_dir());
    request.fetch = context->check;
    request.fetch.jobs = jobs;
    const std::string target_name = std::string(service_name(request.to.service)) + ":" + owner + "/" + repo;
    io.err << "搬家到 " << target_name << "\n" << std::flush;
    const MoveReport report =
        move_pictures(context->upload, request, [&](const MoveItem& item, std::size_t done, std::size_t total) {
            io.err << "[" << done << "/" << total << "] " << to_utf8(item.digest) << ": " << item_line(item) << "\n"
                   << std::flush;
        });
    if (!report.started) {
        io.err << "velpic move: " << terminal_text(report.error) << "\n";
        return 1;
    }
    const std::size_t failed = report.count(MoveItem::Kind::failed);
    io.err << report.records << " 张图片：已搬家 " << report.count(MoveItem::Kind::moved) << "，已在新仓库 "
           << report.count(MoveItem::Kind::already_there) << "，失败 " << failed << "\n";
    for (const MoveItem& item : report.items)
        if (item.kind == MoveItem::Kind::failed)
            io.err << "  " << to_utf8(item.digest) << ": " << terminal_text(item.reason) << "\n";
    if (!report.map_error.empty())
        io.err << "velpic move: " << terminal_text(report.map_error) << "\n";
    if (!report.complete()) {
        io.err << "没有搬完：设置仍指向原仓库；再次运行同一命令会接着搬。\n";
        return 1;
    }
    if (!point_settings_at(request.to, report.target_branch, io))
        return 1;
    io.err << "设置已指向 " << target_name << "\n";
    if (file_exists(request.map_path)) {
        io.err << (report.map_written ? "地址映射已写入：" : "地址映射（上次搬家所写）：") << "\n";
        io.out << request.map_path.string() << "\n";
    }
    return 0;
}

} // namespace

const Command move_command{
    "move",
    "move --to [SERVICE:]OWNER/REPO [--jobs N]",
    "re-hosts every recorded picture (MySQL: every machine's) into the repository OWNER/REPO of\n"
    "         SERVICE (gitee, github or gitea; the active one when left out) with that service's stored\n"
    "         token: each is committed there under its digest name, from its verified archive copy\n"
    "         or else downloaded from its address (N at a time) and kept only when its MD5 matches, and its\n"
    "         record points at the new address as soon as the commit succeeds. A run cut off at any moment\n"
    "         is carried on by running it again. Services that take several files in one commit get them in\n"
    "         batches. When all are moved, the settings point at SERVICE:OWNER/REPO and\n"
    "         the map \"old<tab>new\" of every address that changed is written to \"搬家映射.txt\" in the\n"
    "         data directory (its path on standard output; `velpic relink` reads it). Progress and the\n"
    "         summary on standard error; exit 1 when any picture failed.",
    run,
};

} // namespace velpic
