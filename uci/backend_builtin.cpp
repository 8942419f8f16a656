// The settings lookup through the built-in reader of the UCI syntax.

#include "uci/uci_reader.h"

#include "uci/builtin_reader.h"

uci_result uci_find_option(const char *path, const char *section, const char *option, char *out,
                           std::size_t out_size)
{
    return uci_builtin_find_path(path, section, option, out, out_size);
}

void uci_find_options(const char *path, uci_query *queries, std::size_t count)
{
    uci_builtin_find_path_many(path, queries, count);
}

const char *uci_backend_name()
{
    return "builtin";
}
