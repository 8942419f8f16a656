// SPDX-License-Identifier: ISC
// Private /etc/config, /var/iot and /dev/log for one process: mount and
// network namespaces arranged from a per-run directory (see the header).

#include "tests/support/private_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct dev_entry {
    std::string name;
    mode_t type;
};

} // namespace

static int fail(const std::string &what)
{
    std::fprintf(stderr, "private paths: %s: %s\n", what.c_str(), std::strerror(errno));
    return -1;
}

static bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

static int write_text(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(std::string("open ") + path);
    ssize_t n = write(fd, text.data(), text.size());
    int saved = errno;
    close(fd);
    errno = saved;
    if (n != static_cast<ssize_t>(text.size()))
        return fail(std::string("write ") + path);
    return 0;
}

static int make_dirs(const std::string &path)
{
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return fail("mkdir " + part);
    }
    return 0;
}

// Root of a new user namespace, mapped to the caller's own ids, so that a
// normal user may mount.
static int enter_user_namespace()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER) != 0)
        return fail("unshare(CLONE_NEWUSER)");
    if (write_text("/proc/self/setgroups", "deny") != 0 ||
        write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") != 0 ||
        write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") != 0)
        return -1;
    return 0;
}

// An overlay's work directory may serve one mount at a time: each process
// that shares DIR (runs that overlap) has its own.
static std::string work_dir(const std::string &dir, const char *name)
{
    return dir + "/.work/" + std::to_string(getpid()) + "/" + name;
}

// Overlays `target` (/etc or /var) with DIR/<name> as the upper layer, then
// puts DIR/<name>/<own> on target/<own>. The host's entry of that name never
// takes part: where the host has one, a middle layer (DIR/.hide/<name>)
// holds a whiteout for it. So DIR's entry is a directory of the upper layer
// alone, never merged with the host's (merged, a directory of root's could
// not even be looked up from a user namespace: EACCES), and where DIR has
// none, target/<own> does not exist.
static int overlay_with_own_entry(const std::string &dir, const char *name, const char *target, const char *own,
                                  bool in_user_ns)
{
    std::string upper = dir + "/" + name;
    std::string hide = dir + "/.hide/" + name;
    std::string work = work_dir(dir, name);
    std::string own_upper = upper + "/" + own;
    std::string own_target = std::string(target) + "/" + own;

    if (make_dirs(upper) != 0 || make_dirs(work) != 0)
        return -1;
    struct stat st;
    bool listed = lstat(own_upper.c_str(), &st) == 0;
    bool whiteout = listed && S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0); // a run removed it
    bool have_own = listed && !whiteout;
    std::string lower = target;
    if (exists(own_target)) {
        // Runs that share DIR may race to make the same whiteout.
        std::string hidden = hide + "/" + own;
        if (make_dirs(hide) != 0 || (mknod(hidden.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0 && errno != EEXIST))
            return fail("whiteout " + hidden);
        lower = hide + ":" + target;
    }

    std::string options = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + work;
    if (in_user_ns)
        options += ",userxattr";
    if (mount("overlay", target, "overlay", 0, options.c_str()) != 0)
        return fail(std::string("overlay on ") + target);
    if (have_own && mount(own_upper.c_str(), own_target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("bind " + own_upper + " on " + own_target);
    return 0;
}

static int read_entries(const char *path, std::vector<dev_entry> &out)
{
    DIR *d = opendir(path);
    if (!d)
        return fail(std::string("opendir ") + path);
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // vanished meanwhile
        out.push_back({e->d_name, static_cast<mode_t>(st.st_mode & S_IFMT)});
    }
    closedir(d);
    return 0;
}

// Makes /dev/<name> (on the fresh tmpfs) a copy of the entry at `source`:
// a symbolic link is recreated, anything else is bind-mounted.
static int place_entry(const std::string &source, const dev_entry &entry)
{
    std::string target = "/dev/" + entry.name;
    if (entry.type == S_IFLNK) {
        char link[4096];
        ssize_t n = readlink(source.c_str(), link, sizeof link - 1);
        if (n < 0)
            return fail("readlink " + source);
        link[n] = '\0';
        if (symlink(link, target.c_str()) != 0)
            return fail("symlink " + target);
        return 0;
    }
    if (entry.type == S_IFDIR) {
        if (mkdir(target.c_str(), 0755) != 0)
            return fail("mkdir " + target);
    } else {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return fail("create " + target);
        close(fd);
    }
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("bind " + source + " on " + target);
    return 0;
}

// Covers /dev with a tmpfs that holds the host's entries (bound one by one,
// as mounts made in a user namespace cannot open device nodes of their own),
// except "log" and any name that DIR/dev provides, which come from DIR/dev.
static int cover_dev(const std::string &dir)
{
    std::string own_dir = dir + "/dev";
    std::vector<dev_entry> host;
    std::vector<dev_entry> own;
    if (read_entries("/dev", host) != 0)
        return -1;
    if (exists(own_dir) && read_entries(own_dir.c_str(), own) != 0)
        return -1;

    // The old /dev stays reachable through this descriptor once covered.
    int old_dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_dev < 0)
        return fail("open /dev");
    std::string old_path = "/proc/self/fd/" + std::to_string(old_dev) + "/";

    int rc = -1;
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        fail("tmpfs on /dev");
        goto out_close;
    }
    for (const dev_entry &e : host) {
        bool replaced = e.name == "log";
        for (const dev_entry &o : own)
            replaced = replaced || o.name == e.name;
        if (!replaced && place_entry(old_path + e.name, e) != 0)
            goto out_close;
    }
    for (const dev_entry &o : own)
        if (place_entry(own_dir + "/" + o.name, o) != 0)
            goto out_close;
    // Nothing new can be created in /dev itself.
    if (mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, nullptr) != 0) {
        fail("read-only /dev");
        goto out_close;
    }
    rc = 0;
out_close:
    close(old_dev);
    return rc;
}

static int bring_loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket for lo");
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    int rc = -1;
    if (ioctl(fd, SIOCGIFFLAGS, &req) != 0) {
        fail("SIOCGIFFLAGS lo");
        goto out_close;
    }
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(fd, SIOCSIFFLAGS, &req) != 0) {
        fail("SIOCSIFFLAGS lo");
        goto out_close;
    }
    rc = 0;
out_close:
    close(fd);
    return rc;
}

// Makes the file `program` appear at the absolute path `at`: an overlay on
// at's parent directory holds an empty file of that name (so nothing is
// created on the host), and the program is bound on it.
static int place_program(const std::string &dir, const char *program, const char *at, bool in_user_ns)
{
    std::string target = at;
    std::size_t slash = target.rfind('/');
    if (target.empty() || target[0] != '/' || slash == std::string::npos || slash + 1 == target.size() ||
        target.find_first_of(",:") != std::string::npos) {
        errno = EINVAL;
        return fail("program path '" + target + "' must be absolute, without ',' or ':'");
    }
    std::string parent = slash == 0 ? "/" : target.substr(0, slash);
    std::string upper = dir + "/.place" + (slash == 0 ? "" : parent);
    std::string work = work_dir(dir, "place");
    if (make_dirs(upper) != 0 || make_dirs(work) != 0)
        return -1;
    std::string stand_in = upper + target.substr(slash);
    int fd = open(stand_in.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    if (fd < 0)
        return fail("create " + stand_in);
    close(fd);
    std::string options = "lowerdir=" + parent + ",upperdir=" + upper + ",workdir=" + work;
    if (in_user_ns)
        options += ",userxattr";
    if (mount("overlay", parent.c_str(), "overlay", 0, options.c_str()) != 0)
        return fail("overlay on " + parent);
    if (mount(program, target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail(std::string("bind ") + program + " on " + target);
    return 0;
}

// A remount must keep the flags the mount already has: in a user namespace
// those of the host are locked and may not be cleared.
static int remount_read_only(const char *path)
{
    struct statvfs st;
    if (statvfs(path, &st) != 0)
        return fail(std::string("statvfs ") + path);
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    static const struct {
        unsigned long st, ms;
    } keep[] = {{ST_NOSUID, MS_NOSUID},   {ST_NODEV, MS_NODEV},           {ST_NOEXEC, MS_NOEXEC},
                {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
    for (const auto &k : keep)
        if (st.f_flag & k.st)
            flags |= k.ms;
    if (mount(nullptr, path, nullptr, flags, nullptr) != 0)
        return fail(std::string("read-only ") + path);
    return 0;
}

int enter_private_network()
{
    if (geteuid() != 0 && enter_user_namespace() != 0)
        return -1;
    if (unshare(CLONE_NEWNET) != 0)
        return fail("unshare(CLONE_NEWNET)");
    return bring_loopback_up();
}

int enter_private_paths(const char *dir, bool private_net)
{
    private_paths_options opt;
    opt.private_net = private_net;
    return enter_private_paths(dir, opt);
}

int enter_private_paths(const char *dir, const private_paths_options &opt)
{
    bool private_net = opt.private_net;
    std::string base = dir ? dir : "";
    if (base.empty() || base[0] != '/' || base.find_first_of(",:") != std::string::npos) {
        errno = EINVAL;
        return fail("directory '" + base + "' must be absolute, without ',' or ':'");
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();

    bool in_user_ns = geteuid() != 0;
    if (in_user_ns && enter_user_namespace() != 0)
        return -1;
    if (unshare(CLONE_NEWNS | (private_net ? CLONE_NEWNET : 0)) != 0)
        return fail("unshare");
    // Nothing mounted from here on may leak back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("make / private");
    if (overlay_with_own_entry(base, "etc", "/etc", "config", in_user_ns) != 0 ||
        overlay_with_own_entry(base, "var", "/var", "iot", in_user_ns) != 0 || cover_dev(base) != 0)
        return -1;
    if (opt.iot_read_only && remount_read_only("/var/iot") != 0)
        return -1;
    if (opt.program && opt.program_at && place_program(base, opt.program, opt.program_at, in_user_ns) != 0)
        return -1;
    if (private_net && bring_loopback_up() != 0)
        return -1;
    return 0;
}
