#include "private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace zev_common {
namespace {

bool g_in_private_namespace = false;

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string unavailable_reason() {
    if (geteuid() != 0) return "needs root for private mount namespaces";
    return "";
}

PrivateMounts::~PrivateMounts() {
    // The overlays go first, then the temporary directories behind them.
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    std::error_code ignored;
    for (const std::string& dir : temp_dirs_) std::filesystem::remove_all(dir, ignored);
}

std::string PrivateMounts::enter() {
    std::string why = unavailable_reason();
    if (!why.empty()) return why;
    if (g_in_private_namespace) return "";
    if (unshare(CLONE_NEWNS) != 0) return errno_text("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno_text("making / private");
    g_in_private_namespace = true;
    return "";
}

std::string PrivateMounts::overlay(const std::string& dir) {
    std::string why = enter();
    if (!why.empty()) return why;
    std::string base = "/tmp/private-mounts-XXXXXX";
    if (mkdtemp(&base[0]) == nullptr) return errno_text("no temporary directory for the overlay");
    temp_dirs_.push_back(base);
    std::string upper = base + "/upper", work = base + "/work";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0)
        return errno_text("mkdir overlay layers");
    std::string options = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) != 0)
        return errno_text("overlay mount on " + dir);
    mounted_.push_back(dir);
    return "";
}

std::string PrivateMounts::empty_disk_by_id() {
    std::string why = overlay("/dev");
    if (!why.empty()) return why;
    std::error_code ec;
    std::filesystem::create_directories("/dev/disk/by-id", ec);
    if (ec) return "creating /dev/disk/by-id: " + ec.message();
    if (mount("tmpfs", "/dev/disk/by-id", "tmpfs", 0, "mode=0755") != 0)
        return errno_text("tmpfs mount on /dev/disk/by-id");
    mounted_.push_back("/dev/disk/by-id");
    return "";
}

}  // namespace zev_common
