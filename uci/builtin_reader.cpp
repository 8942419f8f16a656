// SPDX-License-Identifier: ISC
// The built-in UCI reader's entry points (uci/builtin_reader.h): a file by
// its path, with libuci's checks and its shared lock, or a block of memory;
// one lookup or a batch.

#include "uci/builtin_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "uci/builtin_internal.h"

namespace br = builtin_reader;

static void report(const br::source *src, cfg_builtin_tuning *tuning)
{
    if (tuning) {
        tuning->passes = src->passes;
        tuning->undecided = src->undecided;
    }
}

cfg_result cfg_builtin_find_bytes(const unsigned char *data, std::size_t size, const char *section, const char *option,
                                  char *out, std::size_t out_size, cfg_builtin_tuning *tuning)
{
    if (!data && size > 0)
        return cfg_result::load_failed;
    static const unsigned char empty = 0;
    br::lookup lk;
    br::source src{-1, data ? data : &empty, size, 0, false};
    cfg_result result = br::find(&lk, &src, section, option, out, out_size, tuning);
    report(&src, tuning);
    return result;
}

void cfg_builtin_find_bytes_many(const unsigned char *data, std::size_t size, cfg_query *queries, std::size_t count,
                                 cfg_builtin_tuning *tuning)
{
    static const unsigned char empty = 0;
    br::source src{-1, data ? data : &empty, size, 0, false};
    if (!queries)
        return;
    if (!data && size > 0) {
        for (std::size_t i = 0; i < count; i++)
            queries[i].result = cfg_result::load_failed;
        return;
    }
    br::find_many(&src, queries, count, tuning);
    report(&src, tuning);
}

// Opens the file at `path` for reading under a shared lock, with libuci's
// checks (see cfg_builtin_find_path); -1 where it would not load.
static int open_config(const char *path)
{
    if (!path || (path[0] != '/' && !(path[0] == '.' && path[1] == '/')))
        return -1;

    // the package name, from the last path component
    const char *name = std::strrchr(path, '/') + 1;
    if (*name == '\0')
        return -1;
    for (const char *q = name; *q; q++)
        if (br::CLASSES.of[static_cast<unsigned char>(*q)] & br::NOT_TYPE)
            return -1;

    // stat before open, as libuci does, so that no device or FIFO is opened
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;

    // A signal interrupts the wait; the one of cfg_lock_deadline_start ends it.
    int rc;
    do {
        rc = flock(fd, LOCK_SH);
    } while (rc < 0 && errno == EINTR && !cfg_lock_wait_expired());
    if (rc < 0 && errno != ENOSYS)
        goto out_close;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        goto out_close;
    return fd;
out_close:
    close(fd);
    return -1;
}

cfg_result cfg_builtin_find_path(const char *path, const char *section, const char *option, char *out,
                                 std::size_t out_size, cfg_builtin_tuning *tuning)
{
    int fd = open_config(path);
    if (fd < 0)
        return cfg_result::load_failed;
    br::lookup lk;
    br::source src{fd, nullptr, 0, 0, false};
    cfg_result result = br::find(&lk, &src, section, option, out, out_size, tuning);
    report(&src, tuning);
    close(fd); // also drops the lock
    return result;
}

void cfg_builtin_find_path_many(const char *path, cfg_query *queries, std::size_t count, cfg_builtin_tuning *tuning)
{
    if (!queries || count == 0)
        return;
    int fd = open_config(path);
    if (fd < 0) {
        for (std::size_t i = 0; i < count; i++)
            queries[i].result = cfg_result::load_failed;
        return;
    }
    br::source src{fd, nullptr, 0, 0, false};
    br::find_many(&src, queries, count, tuning);
    report(&src, tuning);
    close(fd); // also drops the lock
}
