// SPDX-License-Identifier: ISC
#pragma once
// The built-in UCI reader's own types, shared by its files and by no one
// else (the public interface is uci/builtin_reader.h).
//
// Where things are:
//   builtin_syntax.cpp   libuci's fgets loop over a file descriptor or a
//                        memory block (the bytes of each line as libuci gets
//                        them, NUL bytes and buffer growth included), the
//                        tokens, and libuci's parser step by step: quotes,
//                        backslashes, ';', comments, commands and their
//                        arguments; one pass over the input
//   builtin_package.cpp  the package model: the section table, merged
//                        sections, anonymous sections' generated names, and
//                        what a config or option command does in each kind
//                        of pass
//   builtin_passes.cpp   which passes a lookup takes (one, unless the file
//                        has more sections than the table holds), the long
//                        value read again into a large slot, and the batch
//   builtin_reader.cpp   the entry points: the path checks, the lock, the
//                        in-memory variants
//
// State comes in parts by lifetime, each set or cleared with one `= {}` or
// one designated initializer: a lookup's question and findings
// (lookup_query, lookup_found), the kind and parameters of the pass being
// run (pass_plan), what that pass counts (pass_state), and its reader and
// parser (builtin_syntax.cpp). The section table's storage is never
// cleared, only its counts in pass_state.

#include <cstddef>
#include <cstdint>

#include "uci/builtin_reader.h"

namespace builtin_reader {

inline constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t FNV_PRIME = 0x100000001b3ull;
inline constexpr std::uint64_t FIRST_LINE_BUFFER = 32;
inline constexpr std::size_t READ_CHUNK = 512;
inline constexpr std::size_t MIN_ARENA = 2 * CFG_BUILTIN_TOKEN_KEEP;
inline constexpr unsigned MAX_PARTITION_DEPTH = 40;
inline constexpr std::uint8_t ALONE = 0xff; // a query looked up on its own
inline constexpr std::size_t PROBES = 8;
inline constexpr std::size_t HITS = 8;
inline constexpr std::size_t TYPE_SET = 16;

static_assert(CFG_BUILTIN_BATCH_MAX <= 32, "one bit per key in batch::current");
static_assert(CFG_BUILTIN_TOKEN_KEEP <= 255, "batch names' lengths in a byte");

/* ---- bytes ---- */

enum : unsigned char {
    NOT_NAME = 1,    // outside A-Z a-z 0-9 _ (section and option names)
    NOT_PACKAGE = 2, // outside A-Z a-z 0-9 _ - (package statement)
    NOT_TYPE = 4,    // outside bytes 33..126 (section types, package file names)
    NOT_CLASSES = NOT_NAME | NOT_PACKAGE | NOT_TYPE,
};

// A plain array in a struct rather than std::array: indexing it needs no
// bounds check from the C++ library (every index is a byte), so the reader
// links without libstdc++ even under -D_GLIBCXX_ASSERTIONS.
struct class_table {
    unsigned char of[256];
};

// The NOT_* classes of every byte (builtin_syntax.cpp).
extern const class_table CLASSES;

/* ---- tokens (builtin_syntax.cpp) ---- */

// One argument as the parser builds it. Its bytes are kept up to keep_cap;
// length, hashes and character classes cover all of it.
struct token {
    std::uint64_t len;
    std::uint64_t hash; // FNV-1a, when hashing
    std::uint32_t djb;  // libuci's hash for anonymous section names, when hashing
    unsigned char bad;  // NOT_* classes seen, when classifying
    bool hashing;
    bool classifying;
    bool matches; // equal so far to `match`
    char *keep;
    std::size_t keep_cap;
    const char *match;
    std::size_t match_len;
};

std::size_t tok_kept(const token *t);
bool tok_equals_match(const token *t);

/* ---- the package model (builtin_package.cpp) ---- */

struct str_ref {
    std::uint16_t off;  // in the arena
    std::uint16_t kept; // bytes stored there
    std::uint32_t len;  // full length, saturated
    std::uint64_t hash;
};

enum class role : std::uint8_t { none, first, second };

struct section_entry {
    str_ref name; // unused for anonymous sections
    str_ref type;
    std::uint32_t anon_n; // anonymous: sequence number in the generated name
    std::uint16_t anon_h; // anonymous: type hash in the generated name
    bool anonymous;
    role query_role; // which of the looked-up sections this is
};

enum class slot_state : std::uint8_t { absent, string, list };

// The looked-up option in one of the (at most two) sections of that name.
struct query_slot {
    slot_state state;
    std::uint64_t len;
    std::uint64_t ordinal; // which option/list command set it
    char value[CFG_BUILTIN_VALUE_KEEP];
};

enum class pass_mode : std::uint8_t {
    first,     // the full lookup; exact while the table holds every section
    partition, // type checks and counts for the named sections of one hash partition
    scan,      // where the generated names of some anonymous sections first appear as names
    probe,     // type check of one named section that re-opens an anonymous one
    query,     // the lookup again, with the section names worked out by earlier passes
    capture,   // copy the value of one option command into the caller's slot
};

// An anonymous section whose generated name may equal a section name in the
// file or the looked-up name, in a file too big for the table. Its number in
// the generated name is worked out over several passes.
struct anon_probe {
    std::uint64_t index;   // among anonymous sections, from 1
    std::uint64_t ordinal; // among config commands, from 1
    std::uint64_t acc;     // named sections first seen before it
    std::uint64_t pass_acc;
    std::uint64_t first_named; // first config command using its generated name, 0 if none
    std::uint32_t n;           // its generated name
    std::uint16_t h;
};

// A named config command that re-opens an anonymous section (its name is the
// generated one): it creates no section.
struct anon_hit {
    std::uint64_t line; // config command ordinal
    std::uint64_t anon_index;
};

enum class pass_result { ok, load_failed, overflow, undecided };

// Lookups answered together in one first pass. Each distinct pair of section
// and option is a key with a slot of its own; queries naming the same pair
// share it. Key sections never have the form of a generated name, so each
// names at most one section of the file (a named section re-opens the first
// of its name); names are at most CFG_BUILTIN_TOKEN_KEEP bytes, so kept
// tokens compare in full.
struct batch {
    const cfg_query *queries;
    std::size_t n_keys;
    std::size_t n_sections;
    std::uint32_t current;                         // keys of the section being read, one bit each
    std::uint8_t key_query[CFG_BUILTIN_BATCH_MAX]; // a query that names the key
    std::uint8_t option_len[CFG_BUILTIN_BATCH_MAX];
    std::uint8_t key_of[CFG_BUILTIN_BATCH_MAX]; // each query's key, or ALONE
    // the distinct section names: a query naming each, and their keys
    std::uint8_t section_query[CFG_BUILTIN_BATCH_MAX];
    std::uint8_t section_len[CFG_BUILTIN_BATCH_MAX];
    std::uint32_t section_keys[CFG_BUILTIN_BATCH_MAX];
    query_slot slot[CFG_BUILTIN_BATCH_MAX];
};

// What one lookup looks for: set when it starts.
struct lookup_query {
    const char *section;
    const char *option;
    std::size_t section_len;
    std::size_t option_len;
    bool section_generated; // `section` has the form of a generated name
    std::uint32_t section_n;
    std::uint16_t section_h;
    batch *bt;               // a batch of lookups instead of `section` and `option`
    std::size_t max_entries; // the table's capacities for this lookup
    std::size_t arena_cap;
};

// What the passes of one lookup found out: cleared when it starts.
struct lookup_found {
    bool have_first;
    query_slot slot[2];

    std::uint16_t anon_types[TYPE_SET]; // type hashes of anonymous sections
    std::size_t n_anon_types;
    bool anon_types_overflow;
    std::uint16_t gen_types[TYPE_SET]; // type hashes in section names that look generated
    std::size_t n_gen_types;
    bool gen_types_overflow;
    std::uint32_t gen_n[TYPE_SET]; // and those names' numbers, while they fit
    std::uint16_t gen_h[TYPE_SET];
    std::size_t n_gen;
    bool gen_overflow;

    anon_probe probes[PROBES];
    std::size_t n_probes;
    std::uint64_t probes_after; // anonymous sections already worked out
    anon_hit hits[HITS];
    std::size_t n_hits;
    std::uint64_t query_anon; // anonymous section named `section`, 0 if none
    role query_anon_role;
};

// The pass being run and what it is for: set before each pass.
struct pass_plan {
    pass_mode mode;
    std::uint64_t part; // partition: this one of `parts`
    std::uint64_t parts;
    std::uint64_t probe_anon; // probe: the anonymous section ...
    std::uint64_t probe_line; // ... and the command that re-opens it
    std::uint64_t capture_ordinal;
    char *capture_out;
    std::size_t capture_cap;
};

// What one pass counts and remembers: cleared when it starts.
struct pass_state {
    std::uint64_t n_section; // sections created, libuci's counter
    bool in_section;
    role current;
    std::uint64_t option_ordinal; // option and list commands so far
    std::uint64_t config_ordinal; // config commands so far
    std::uint64_t anon_index;     // anonymous sections so far
    std::uint64_t named_first;    // partition: named sections first seen so far
    std::size_t n_probes_seen;
    // the section table: entries and arena bytes in use
    std::size_t n_entries;
    std::size_t arena_used;
    bool overflowed; // a section did not fit: the table is a prefix
    bool table_full; // set in a partition pass that ran out of room
};

struct lookup {
    lookup_query q;
    lookup_found f;
    pass_plan plan;
    pass_state ps;
    // the section table's storage, valid up to ps.n_entries and ps.arena_used
    section_entry entries[CFG_BUILTIN_MAX_SECTIONS];
    char arena[CFG_BUILTIN_ARENA_BYTES];
};

// Whether `s` (len bytes) is a name libuci could generate for an anonymous
// section, "cfg" + printf("%02x", n) + printf("%04x", h); if so, n and h.
bool parse_generated(const char *s, std::size_t len, std::uint32_t *n, std::uint16_t *h);
// The keys of the batch's section named by the `len` bytes at `s`; 0 if none.
std::uint32_t batch_section(const batch *bt, const char *s, std::uint64_t len);
// The key among `keys` (all of one section) for the option named by the
// `len` bytes at `s`; -1 if none.
int batch_option(const batch *bt, std::uint32_t keys, const char *s, std::uint64_t len);
// Named config commands before config command `line` that re-open an
// anonymous section.
std::uint64_t hits_before(const lookup *lk, std::uint64_t line);
// Whether an anonymous section of type hash h can have a generated name that
// matters: one a named section in the file may use, or the looked-up one.
bool anon_relevant(const lookup *lk, std::uint16_t h);

// Whether option commands are looked at in this pass.
bool option_looking(const lookup *lk);
// "config TYPE [NAME]". Returns false to stop the pass (result in lk->ps).
bool on_config(lookup *lk, const token *type, const token *name);
// Where the value of an option command goes, once its name is known: a
// slot of the looked-up option, or with *keep set the caller's slot in a
// capture pass, or nowhere (nullptr and *keep null).
query_slot *value_target(lookup *lk, const token *name, const char *bytes, char **keep, std::size_t *keep_cap);
// "option NAME [VALUE]" or "list NAME [VALUE]"; `value` may only be null
// when `slot` is.
void on_option(lookup *lk, query_slot *slot, const token *value, bool list);

/* ---- passes (builtin_syntax.cpp, builtin_passes.cpp) ---- */

struct source {
    int fd;
    const unsigned char *data;
    std::size_t size;
    unsigned passes;
    bool undecided; // some lookup needed more state than the reader keeps
};

// One pass of uci_import over the source, as lk->plan says; the pass state
// is the caller's to clear.
pass_result read_pass(lookup *lk, const source *src);

// One lookup of `option` in the sections named `section`, with all the
// passes it needs; load_failed also for missing arguments.
cfg_result find(lookup *lk, source *src, const char *section, const char *option, char *out, std::size_t out_size,
                const cfg_builtin_tuning *tuning);
// A batch of lookups: each query gets what find gives it.
void find_many(source *src, cfg_query *queries, std::size_t count, const cfg_builtin_tuning *tuning);

} // namespace builtin_reader
