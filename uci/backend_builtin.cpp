// SPDX-License-Identifier: ISC
// The settings lookup through the built-in reader of the UCI syntax.

#include "uci/uci_reader.h"

#include "uci/builtin_reader.h"

cfg_result cfg_find_option(const char *path, const char *section, const char *option, char *out,
                           std::size_t out_size)
{
    return cfg_builtin_find_path(path, section, option, out, out_size);
}

void cfg_find_options(const char *path, cfg_query *queries, std::size_t count)
{
    cfg_builtin_find_path_many(path, queries, count);
}

const char *cfg_backend_name()
{
    return "builtin";
}
