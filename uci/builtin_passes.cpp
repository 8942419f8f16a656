// SPDX-License-Identifier: ISC
// The built-in UCI reader's passes: a lookup takes one pass over the input
// unless the file has more sections than the table holds. Then further
// passes, each remembering a hash share of the section names, check every
// section for a change of type; and where an anonymous section's generated
// name (cfgNNHHHH) can matter, passes count the sections before it to work
// out its name. Also the batch: lookups sorted into keys, answered by the
// passes of one lookup.

#include "uci/builtin_internal.h"

#include <cstring>

namespace builtin_reader {

// One pass of the kind `mode`, with the parameters in lk->plan; its counts
// and the table cleared.
static pass_result pass(lookup *lk, source *src, pass_mode mode)
{
    lk->plan.mode = mode;
    lk->ps = {};
    src->passes++;
    return read_pass(lk, src);
}

// Type checks over every named section, a hash partition at a time, for
// files whose sections did not all fit in the table. Partitions that do not
// fit are split in two, depth first. Along the way each pass counts, for the
// probed anonymous sections, the named sections first seen before them.
static pass_result check_partitions(lookup *lk, source *src)
{
    std::uint64_t part = 0;
    std::uint64_t parts = 2;
    unsigned depth = 1;
    for (std::size_t i = 0; i < PROBES; i++)
        lk->f.probes[i].acc = 0;
    for (;;) {
        lk->plan.part = part;
        lk->plan.parts = parts;
        pass_result r = pass(lk, src, pass_mode::partition);
        if (r == pass_result::overflow) {
            if (++depth > MAX_PARTITION_DEPTH)
                return pass_result::undecided;
            parts *= 2;
            continue;
        }
        if (r != pass_result::ok)
            return r;
        lk->f.n_probes = lk->ps.n_probes_seen;
        for (std::size_t i = 0; i < lk->f.n_probes; i++)
            lk->f.probes[i].acc += lk->f.probes[i].pass_acc;
        // next partition, depth first: the right sibling, or up a level
        for (;;) {
            if (parts == 1)
                return pass_result::ok;
            if (part < parts / 2) {
                part += parts / 2;
                break;
            }
            part -= parts / 2;
            parts /= 2;
            depth--;
        }
    }
}

// The generated names of the probed anonymous sections, and which named
// config commands re-open them. A section's number counts the sections
// created before it: anonymous ones, named ones first seen (counted by the
// partition passes), less the named commands that re-opened an anonymous
// section instead of creating one. Those depend on earlier generated names,
// so this repeats until nothing changes (each round settles at least one
// more section).
static pass_result resolve_probes(lookup *lk, source *src)
{
    std::size_t base_hits = lk->f.n_hits;
    for (std::size_t round = 0; round <= PROBES + 1; round++) {
        bool changed = false;
        for (std::size_t i = 0; i < lk->f.n_probes; i++) {
            anon_probe *a = &lk->f.probes[i];
            std::uint64_t n = a->index + a->acc - hits_before(lk, a->ordinal);
            if (n != a->n)
                changed = true;
            a->n = static_cast<std::uint32_t>(n);
        }
        if (!changed && round > 0)
            return pass_result::ok;
        for (std::size_t i = 0; i < lk->f.n_probes; i++)
            lk->f.probes[i].first_named = 0;
        pass_result r = pass(lk, src, pass_mode::scan);
        if (r != pass_result::ok)
            return r;
        lk->f.n_hits = base_hits;
        for (std::size_t i = 0; i < lk->f.n_probes; i++) {
            const anon_probe *a = &lk->f.probes[i];
            if (a->first_named <= a->ordinal)
                continue; // not used as a name, or used before: two sections
            if (lk->f.n_hits == HITS)
                return pass_result::undecided;
            lk->f.hits[lk->f.n_hits++] = anon_hit{a->first_named, a->index};
        }
    }
    return pass_result::undecided;
}

// Exact lookup in a file whose sections did not fit in the table and where
// generated names can matter.
static pass_result slow_lookup(lookup *lk, source *src)
{
    lk->f.probes_after = 0;
    for (;;) {
        pass_result r = check_partitions(lk, src);
        if (r != pass_result::ok)
            return r;
        if (lk->f.n_probes == 0)
            break;
        for (std::size_t i = 0; i < lk->f.n_probes; i++)
            lk->f.probes[i].n = 0;
        r = resolve_probes(lk, src);
        if (r != pass_result::ok)
            return r;
        for (std::size_t i = 0; i < lk->f.n_probes; i++) {
            const anon_probe *a = &lk->f.probes[i];
            if (lk->q.section_generated && a->n == lk->q.section_n && a->h == lk->q.section_h) {
                lk->f.query_anon = a->index;
                // a name used before the anonymous section made a section of its own
                bool named_before = a->first_named != 0 && a->first_named < a->ordinal;
                lk->f.query_anon_role = named_before ? role::second : role::first;
            }
        }
        lk->f.probes_after = lk->f.probes[lk->f.n_probes - 1].index;
    }
    // a command that re-opens an anonymous section must give its type
    for (std::size_t i = 0; i < lk->f.n_hits; i++) {
        lk->plan.probe_anon = lk->f.hits[i].anon_index;
        lk->plan.probe_line = lk->f.hits[i].line;
        pass_result r = pass(lk, src, pass_mode::probe);
        if (r != pass_result::ok)
            return r;
    }
    // Only a generated name can be borne by more than one section, or by an
    // anonymous one: for other names (and a batch's), the first pass's
    // values stand, and the passes above only had to check the types.
    if (!lk->q.section_generated)
        return pass_result::ok;
    lk->f.slot[0].state = slot_state::absent;
    lk->f.slot[1].state = slot_state::absent;
    return pass(lk, src, pass_mode::query);
}

// A lookup of `option` in the sections named `section` or, with both null,
// of the batch `bt`: the first pass and, where it did not see the whole
// package, the passes that make its answer exact.
static pass_result run_lookup(lookup *lk, source *src, const char *section, const char *option, batch *bt,
                              const cfg_builtin_tuning *tuning)
{
    std::size_t max_entries = CFG_BUILTIN_MAX_SECTIONS;
    std::size_t arena_cap = CFG_BUILTIN_ARENA_BYTES;
    if (tuning) {
        if (tuning->max_sections > 0 && tuning->max_sections < max_entries)
            max_entries = tuning->max_sections;
        if (tuning->arena_bytes > 0 && tuning->arena_bytes < arena_cap)
            arena_cap = tuning->arena_bytes < MIN_ARENA ? MIN_ARENA : tuning->arena_bytes;
    }
    std::size_t section_len = section ? std::strlen(section) : 0;
    lk->q = {section, option, section_len, option ? std::strlen(option) : 0, false, 0, 0, bt, max_entries, arena_cap};
    lk->q.section_generated = section && parse_generated(section, section_len, &lk->q.section_n, &lk->q.section_h);
    lk->f = {};
    lk->plan = {};

    pass_result r = pass(lk, src, pass_mode::first);
    if (r == pass_result::ok && lk->ps.overflowed) {
        // Not every section was remembered. Unless an anonymous section's
        // generated name can matter, the first pass's answer holds and only
        // the type checks are redone, a partition at a time.
        bool relevant = lk->f.anon_types_overflow;
        for (std::size_t i = 0; i < lk->f.n_anon_types; i++)
            relevant = relevant || anon_relevant(lk, lk->f.anon_types[i]);
        lk->f.probes_after = ~std::uint64_t{0}; // no probes unless relevant
        r = relevant ? slow_lookup(lk, src) : check_partitions(lk, src);
    }
    if (r == pass_result::undecided)
        src->undecided = true;
    return r;
}

// The answer from the option's slot once the passes are over: on found, all
// out_size bytes of `out` cleared and the value copied, cut to out_size - 1.
static cfg_result answer(lookup *lk, source *src, const query_slot *s, char *out, std::size_t out_size)
{
    if (s->state != slot_state::string)
        return cfg_result::missing;
    std::uint64_t want = s->len < out_size - 1 ? s->len : out_size - 1;
    std::memset(out, 0, out_size);
    if (want <= sizeof(s->value)) {
        std::memcpy(out, s->value, static_cast<std::size_t>(want));
        return cfg_result::found;
    }
    // a long value for a large slot: read it again, straight into the slot
    lk->plan.capture_ordinal = s->ordinal;
    lk->plan.capture_out = out;
    lk->plan.capture_cap = out_size - 1;
    return pass(lk, src, pass_mode::capture) == pass_result::ok ? cfg_result::found : cfg_result::load_failed;
}

cfg_result find(lookup *lk, source *src, const char *section, const char *option, char *out, std::size_t out_size,
                const cfg_builtin_tuning *tuning)
{
    if (!section || !option || !out || out_size == 0 ||
        run_lookup(lk, src, section, option, nullptr, tuning) != pass_result::ok)
        return cfg_result::load_failed;
    // the walk over the sections of that name, in file order
    return answer(lk, src, &lk->f.slot[lk->f.slot[0].state == slot_state::string ? 0 : 1], out, out_size);
}

// Sorts the queries into keys. Queries the batch cannot answer are marked to
// be looked up alone: past the batch's size, without their arguments (the
// lookup alone rejects them), naming a section in the form of a generated
// name (up to two sections may bear it) or names too long to keep.
static void batch_init(batch *bt, const cfg_query *queries, std::size_t count)
{
    bt->queries = queries;
    bt->n_keys = 0;
    bt->n_sections = 0;
    if (count > CFG_BUILTIN_BATCH_MAX)
        count = CFG_BUILTIN_BATCH_MAX;
    for (std::size_t i = 0; i < count; i++) {
        const cfg_query *q = &queries[i];
        bt->key_of[i] = ALONE;
        if (!q->section || !q->option || !q->out || q->out_size == 0)
            continue;
        std::size_t slen = strnlen(q->section, CFG_BUILTIN_TOKEN_KEEP + 1);
        std::size_t olen = strnlen(q->option, CFG_BUILTIN_TOKEN_KEEP + 1);
        std::uint32_t gn;
        std::uint16_t gh;
        if (slen > CFG_BUILTIN_TOKEN_KEEP || olen > CFG_BUILTIN_TOKEN_KEEP ||
            parse_generated(q->section, slen, &gn, &gh))
            continue;
        std::uint32_t keys = batch_section(bt, q->section, slen);
        std::size_t n = 0;
        while (n < bt->n_sections && bt->section_keys[n] != keys) // each has its own keys
            n++;
        if (n == bt->n_sections) {
            bt->section_query[n] = static_cast<std::uint8_t>(i);
            bt->section_len[n] = static_cast<std::uint8_t>(slen);
            bt->section_keys[n] = 0;
            bt->n_sections++;
        }
        int k = batch_option(bt, bt->section_keys[n], q->option, olen);
        if (k < 0) {
            k = static_cast<int>(bt->n_keys++);
            bt->key_query[k] = static_cast<std::uint8_t>(i);
            bt->option_len[k] = static_cast<std::uint8_t>(olen);
            bt->slot[k].state = slot_state::absent;
            bt->section_keys[n] |= std::uint32_t{1} << k;
        }
        bt->key_of[i] = static_cast<std::uint8_t>(k);
    }
}

void find_many(source *src, cfg_query *queries, std::size_t count, const cfg_builtin_tuning *tuning)
{
    lookup lk;
    batch bt;
    pass_result r = pass_result::ok;
    batch_init(&bt, queries, count);
    if (bt.n_keys > 0)
        r = run_lookup(&lk, src, nullptr, nullptr, &bt, tuning);
    for (std::size_t i = 0; i < count; i++) {
        cfg_query *q = &queries[i];
        std::uint8_t k = i < CFG_BUILTIN_BATCH_MAX ? bt.key_of[i] : ALONE;
        if (k != ALONE)
            q->result =
                r != pass_result::ok ? cfg_result::load_failed : answer(&lk, src, &bt.slot[k], q->out, q->out_size);
        else // the lookup's room reused
            q->result = find(&lk, src, q->section, q->option, q->out, q->out_size, tuning);
    }
}

} // namespace builtin_reader
