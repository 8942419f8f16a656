// SPDX-License-Identifier: ISC
// The built-in UCI reader's package model: the table of the sections seen in
// a pass (named ones merge, a repeated name must repeat the type),
// anonymous sections' generated names, the batch's sections and options,
// and what each config and option command does in each kind of pass.

#include "uci/builtin_internal.h"

#include <bit>
#include <cstring>

namespace builtin_reader {

static std::uint32_t saturate32(std::uint64_t v)
{
    return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v);
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool parse_generated(const char *s, std::size_t len, std::uint32_t *n, std::uint16_t *h)
{
    if (len < 9 || len > 15 || s[0] != 'c' || s[1] != 'f' || s[2] != 'g')
        return false;
    std::size_t mid = len - 7;
    if (mid > 2 && s[3] == '0')
        return false;
    std::uint32_t nv = 0;
    for (std::size_t i = 3; i < 3 + mid; i++) {
        int d = hex_digit(s[i]);
        if (d < 0)
            return false;
        nv = nv * 16 + static_cast<std::uint32_t>(d);
    }
    std::uint32_t hv = 0;
    for (std::size_t i = len - 4; i < len; i++) {
        int d = hex_digit(s[i]);
        if (d < 0)
            return false;
        hv = hv * 16 + static_cast<std::uint32_t>(d);
    }
    *n = nv;
    *h = static_cast<std::uint16_t>(hv);
    return true;
}

/* ---- section table ---- */

static bool ref_equals(const lookup *lk, const str_ref *r, const token *t)
{
    return r->len == saturate32(t->len) && r->hash == t->hash && std::memcmp(lk->arena + r->off, t->keep, r->kept) == 0;
}

static void store(lookup *lk, str_ref *r, const token *t)
{
    std::size_t kept = tok_kept(t);
    std::memcpy(lk->arena + lk->ps.arena_used, t->keep, kept);
    r->off = static_cast<std::uint16_t>(lk->ps.arena_used);
    r->kept = static_cast<std::uint16_t>(kept);
    r->len = saturate32(t->len);
    r->hash = t->hash;
    lk->ps.arena_used += kept;
}

static section_entry *add_entry(lookup *lk, const token *name, const token *type)
{
    std::size_t need = tok_kept(type) + (name ? tok_kept(name) : 0);
    if (lk->ps.n_entries == lk->q.max_entries || lk->q.arena_cap - lk->ps.arena_used < need)
        return nullptr;
    section_entry *e = &lk->entries[lk->ps.n_entries++];
    *e = section_entry{};
    store(lk, &e->type, type);
    if (name)
        store(lk, &e->name, name);
    return e;
}

// The first remembered section named like `name` (libuci's uci_lookup_list).
static section_entry *find_entry(lookup *lk, const token *name, bool generated, std::uint32_t gn, std::uint16_t gh)
{
    for (std::size_t i = 0; i < lk->ps.n_entries; i++) {
        section_entry *e = &lk->entries[i];
        if (e->anonymous) {
            if (generated && e->anon_n == gn && e->anon_h == gh)
                return e;
        } else if (ref_equals(lk, &e->name, name)) {
            return e;
        }
    }
    return nullptr;
}

static bool in_set(const std::uint16_t *set, std::size_t n, bool overflow, std::uint16_t h)
{
    if (overflow)
        return true;
    for (std::size_t i = 0; i < n; i++)
        if (set[i] == h)
            return true;
    return false;
}

static void add_to_set(std::uint16_t *set, std::size_t *n, std::size_t cap, bool *overflow, std::uint16_t h)
{
    if (in_set(set, *n, *overflow, h))
        return;
    if (*n == cap)
        *overflow = true;
    else
        set[(*n)++] = h;
}

bool anon_relevant(const lookup *lk, std::uint16_t h)
{
    return in_set(lk->f.gen_types, lk->f.n_gen_types, lk->f.gen_types_overflow, h) ||
           (lk->q.section_generated && lk->q.section_h == h);
}

// The same for the anonymous section being read, whose number lies between
// the anonymous sections and the config commands so far.
static bool anon_relevant_here(const lookup *lk, std::uint16_t h)
{
    std::uint64_t lo = lk->ps.anon_index;
    std::uint64_t hi = lk->ps.config_ordinal;
    if (lk->q.section_generated && lk->q.section_h == h && lk->q.section_n >= lo && lk->q.section_n <= hi)
        return true;
    if (lk->f.gen_overflow)
        return in_set(lk->f.gen_types, lk->f.n_gen_types, lk->f.gen_types_overflow, h);
    for (std::size_t i = 0; i < lk->f.n_gen; i++)
        if (lk->f.gen_h[i] == h && lk->f.gen_n[i] >= lo && lk->f.gen_n[i] <= hi)
            return true;
    return false;
}

std::uint64_t hits_before(const lookup *lk, std::uint64_t line)
{
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < lk->f.n_hits; i++)
        if (lk->f.hits[i].line < line)
            n++;
    return n;
}

static std::uint64_t mix64(std::uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

std::uint32_t batch_section(const batch *bt, const char *s, std::uint64_t len)
{
    for (std::size_t i = 0; i < bt->n_sections; i++) {
        const char *name = bt->queries[bt->section_query[i]].section;
        if (bt->section_len[i] == len && std::memcmp(name, s, static_cast<std::size_t>(len)) == 0)
            return bt->section_keys[i];
    }
    return 0;
}

int batch_option(const batch *bt, std::uint32_t keys, const char *s, std::uint64_t len)
{
    for (; keys != 0; keys &= keys - 1) {
        int k = std::countr_zero(keys);
        const char *name = bt->queries[bt->key_query[k]].option;
        // the first bytes sort most out (both are NUL for empty names)
        if (bt->option_len[k] == len && name[0] == s[0] && std::memcmp(name, s, static_cast<std::size_t>(len)) == 0)
            return k;
    }
    return -1;
}

/* ---- what the commands do, pass by pass ---- */

// First pass, anonymous section: named cfgNNHHHH (NN: sections so far,
// HHHH: type hash), remembered while the table has room.
static void first_anonymous(lookup *lk, const token *type, std::uint16_t h)
{
    lk->ps.n_section++;
    add_to_set(lk->f.anon_types, &lk->f.n_anon_types, TYPE_SET, &lk->f.anon_types_overflow, h);
    role r = role::none;
    if (!lk->ps.overflowed && lk->q.section_generated && lk->q.section_n == lk->ps.n_section && lk->q.section_h == h)
        r = lk->f.have_first ? role::second : role::first;
    if (r == role::first)
        lk->f.have_first = true;
    if (!lk->ps.overflowed) {
        section_entry *e = add_entry(lk, nullptr, type);
        if (e) {
            e->anonymous = true;
            e->anon_n = static_cast<std::uint32_t>(lk->ps.n_section);
            e->anon_h = h;
            e->query_role = r;
        } else {
            lk->ps.overflowed = true;
        }
    }
    lk->ps.current = r;
}

// First pass, named section: a repeated name re-opens the first section of
// that name, which must have the same type.
static bool first_named(lookup *lk, const token *type, const token *name, bool generated, std::uint32_t gn,
                        std::uint16_t gh)
{
    if (generated) {
        add_to_set(lk->f.gen_types, &lk->f.n_gen_types, TYPE_SET, &lk->f.gen_types_overflow, gh);
        bool known = false;
        for (std::size_t i = 0; i < lk->f.n_gen && !known; i++)
            known = lk->f.gen_n[i] == gn && lk->f.gen_h[i] == gh;
        if (!known && lk->f.n_gen == TYPE_SET)
            lk->f.gen_overflow = true;
        else if (!known) {
            lk->f.gen_n[lk->f.n_gen] = gn;
            lk->f.gen_h[lk->f.n_gen++] = gh;
        }
    }
    section_entry *e = find_entry(lk, name, generated, gn, gh);
    if (e) {
        lk->ps.current = e->query_role;
        return ref_equals(lk, &e->type, type); // else: section of different type
    }
    role r = tok_equals_match(name) ? role::first : role::none;
    if (r == role::first)
        lk->f.have_first = true;
    lk->ps.current = r;
    if (lk->ps.overflowed)
        return true; // not known whether it is new: later passes sort that out
    lk->ps.n_section++;
    e = add_entry(lk, name, type);
    if (e)
        e->query_role = r;
    else
        lk->ps.overflowed = true;
    return true;
}

// Partition pass, anonymous section: note where the probed ones stand.
static void partition_anonymous(lookup *lk, std::uint16_t h)
{
    if (lk->ps.anon_index <= lk->f.probes_after || lk->ps.n_probes_seen == PROBES || !anon_relevant_here(lk, h))
        return;
    anon_probe *a = &lk->f.probes[lk->ps.n_probes_seen++];
    a->index = lk->ps.anon_index;
    a->ordinal = lk->ps.config_ordinal;
    a->h = h;
    a->pass_acc = lk->ps.named_first;
}

// Partition pass, named section of this partition: type check against the
// first section of that name, or remembered as new.
static bool partition_named(lookup *lk, const token *type, const token *name)
{
    if ((mix64(name->hash) & (lk->plan.parts - 1)) != lk->plan.part)
        return true;
    section_entry *e = find_entry(lk, name, false, 0, 0);
    if (e)
        return ref_equals(lk, &e->type, type);
    if (!add_entry(lk, name, type)) {
        lk->ps.table_full = true;
        return false;
    }
    lk->ps.named_first++;
    return true;
}

bool on_config(lookup *lk, const token *type, const token *name)
{
    lk->ps.in_section = true;
    lk->ps.config_ordinal++;
    std::uint16_t h = static_cast<std::uint16_t>(type->djb & 0xffff);
    std::uint32_t gn = 0;
    std::uint16_t gh = 0;
    bool anonymous = name->len == 0;
    bool generated = !anonymous && name->len <= name->keep_cap && parse_generated(name->keep, tok_kept(name), &gn, &gh);
    if (anonymous)
        lk->ps.anon_index++;

    switch (lk->plan.mode) {
    case pass_mode::first: {
        if (anonymous) {
            first_anonymous(lk, type, h);
            return true;
        }
        bool ok = first_named(lk, type, name, generated, gn, gh);
        if (lk->q.bt) {
            // the one section of this name, new or re-opened
            lk->q.bt->current = batch_section(lk->q.bt, name->keep, name->len);
            lk->ps.current = lk->q.bt->current ? role::first : role::none;
        }
        return ok;
    }

    case pass_mode::partition:
        if (anonymous) {
            partition_anonymous(lk, h);
            return true;
        }
        return partition_named(lk, type, name);

    case pass_mode::scan:
        if (generated) {
            for (std::size_t i = 0; i < lk->f.n_probes; i++) {
                anon_probe *a = &lk->f.probes[i];
                if (a->first_named == 0 && a->n == gn && a->h == gh)
                    a->first_named = lk->ps.config_ordinal;
            }
        }
        return true;

    case pass_mode::probe:
        if (anonymous && lk->ps.anon_index == lk->plan.probe_anon)
            return add_entry(lk, nullptr, type) != nullptr;
        if (lk->ps.config_ordinal == lk->plan.probe_line)
            return lk->ps.n_entries == 1 && ref_equals(lk, &lk->entries[0].type, type);
        return true;

    case pass_mode::query:
        if (anonymous)
            lk->ps.current = lk->ps.anon_index == lk->f.query_anon ? lk->f.query_anon_role : role::none;
        else if (tok_equals_match(name))
            lk->ps.current = role::first;
        else
            lk->ps.current = role::none;
        return true;

    case pass_mode::capture:
        return true;
    }
    return true;
}

bool option_looking(const lookup *lk)
{
    return lk->plan.mode == pass_mode::first || lk->plan.mode == pass_mode::query;
}

// `bytes`: the name's bytes, where it is short enough to be kept whole.
query_slot *value_target(lookup *lk, const token *name, const char *bytes, char **keep, std::size_t *keep_cap)
{
    *keep = nullptr;
    *keep_cap = 0;
    query_slot *slot = nullptr;
    if (option_looking(lk) && lk->ps.current != role::none) {
        if (lk->q.bt) {
            // keys are distinct: one option name at most in a section's keys
            int k = batch_option(lk->q.bt, lk->q.bt->current, bytes, name->len);
            if (k >= 0)
                slot = &lk->q.bt->slot[k];
        } else if (tok_equals_match(name)) {
            slot = &lk->f.slot[lk->ps.current == role::first ? 0 : 1];
        }
    }
    if (slot) {
        *keep = slot->value; // an empty value writes nothing, so the old one survives
        *keep_cap = sizeof(slot->value);
        return slot;
    }
    if (lk->plan.mode == pass_mode::capture && lk->ps.option_ordinal + 1 == lk->plan.capture_ordinal) {
        *keep = lk->plan.capture_out;
        *keep_cap = lk->plan.capture_cap;
    }
    return nullptr;
}

void on_option(lookup *lk, query_slot *slot, const token *value, bool list)
{
    lk->ps.option_ordinal++;
    if (!slot)
        return;
    if (list) {
        slot->state = slot_state::list;
    } else if (value->len > 0) {
        // an empty value neither creates nor clears an option
        slot->state = slot_state::string;
        slot->len = value->len;
        slot->ordinal = lk->ps.option_ordinal;
    }
}

} // namespace builtin_reader
