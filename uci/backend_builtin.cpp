// SPDX-License-Identifier: ISC
// The settings lookup through the built-in reader of the UCI syntax.

#include "uci/uci_reader.h"

#include "uci/builtin_reader.h"

cfg_result cfg_find_option(const char *path, const char *section, const char *option, char *out, std::size_t out_size)
{
    // Out of time for a lock another process holds: no further wait.
    if (cfg_lock_wait_expired())
        return cfg_result::load_failed;
    return cfg_builtin_find_path(path, section, option, out, out_size);
}

void cfg_find_options(const char *path, cfg_query *queries, std::size_t count)
{
    if (cfg_lock_wait_expired()) {
        for (std::size_t i = 0; i < count; i++)
            queries[i].result = cfg_result::load_failed;
        return;
    }
    cfg_builtin_find_path_many(path, queries, count);
}

const char *cfg_backend_name()
{
    return "builtin";
}
