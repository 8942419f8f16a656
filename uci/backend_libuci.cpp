// SPDX-License-Identifier: ISC
// The settings lookup through libuci, call for call as the forwarder has
// always made it: a fresh context and a fresh load of the file per lookup.

#include "uci/uci_reader.h"

#include <cstring>

#include <uci.h>

// Set only while a lookup runs.
static struct uci_context *uci_ctx;

// libuci's lists link the uci_element at the start of each section; walking
// them by hand avoids the C casts of its foreach macros.
static struct uci_section *section_of(struct uci_list *node)
{
    return reinterpret_cast<struct uci_section *>(node);
}

static struct uci_option *option_of(struct uci_element *e)
{
    return reinterpret_cast<struct uci_option *>(e);
}

cfg_result cfg_find_option(const char *path, const char *section, const char *option, char *out, std::size_t out_size)
{
    struct uci_package *pkg = nullptr;
    cfg_result result = cfg_result::missing;

    // Out of time for a lock another process holds: no further wait.
    if (cfg_lock_wait_expired())
        return cfg_result::load_failed;

    uci_ctx = uci_alloc_context();
    if (!uci_ctx)
        return cfg_result::load_failed;
    if (uci_load(uci_ctx, path, &pkg) != UCI_OK || !pkg) {
        result = cfg_result::load_failed;
        goto out_free;
    }

    for (struct uci_list *it = pkg->sections.next; it != &pkg->sections; it = it->next) {
        struct uci_section *s = section_of(it);
        struct uci_element *e = nullptr;
        if (std::strcmp(s->e.name, section) != 0)
            continue;
        // `option` may be `out` itself: it is not needed after this call
        if (uci_lookup_next(uci_ctx, &e, &s->options, option) != UCI_OK || !e)
            continue;
        struct uci_option *o = option_of(e);
        if (o->type != UCI_TYPE_STRING || !o->v.string)
            continue;
        std::memset(out, 0, out_size);
        std::memcpy(out, o->v.string, strnlen(o->v.string, out_size - 1));
        result = cfg_result::found;
        break;
    }
    uci_unload(uci_ctx, pkg);
out_free:
    uci_free_context(uci_ctx);
    uci_ctx = nullptr;
    return result;
}

void cfg_find_options(const char *path, cfg_query *queries, std::size_t count)
{
    for (std::size_t i = 0; i < count; i++)
        queries[i].result =
            cfg_find_option(path, queries[i].section, queries[i].option, queries[i].out, queries[i].out_size);
}

const char *cfg_backend_name()
{
    return "libuci";
}
