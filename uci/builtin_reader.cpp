// SPDX-License-Identifier: ISC
// Built-in reader of UCI configuration files: libuci's line reader and
// parser replayed over a stream, and just enough of its package model to
// answer one lookup.

#include "uci/builtin_reader.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the bytes come from, and libuci's fgets loop over them.
//
// libuci reads a line with repeated fgets calls into one buffer that starts
// at 32 bytes and doubles each time a call ends without a newline (it never
// shrinks). It measures each call's result with strlen, so a NUL byte drops
// the rest of what that call read. A line ends when a call ends with '\n' or
// brings nothing (end of file, or a NUL as its first byte). The reader below
// produces the same line content byte by byte without holding the line: it
// only tracks the buffer size, the line length and what the current fgets
// call may still read.
struct line_reader {
    int fd;
    const unsigned char *data; // memory source, or nullptr for fd
    std::size_t data_size;
    std::uint64_t next_offset; // source offset of the next refill
    const unsigned char *raw;
    std::size_t raw_len;
    std::size_t raw_pos;
    bool eof;                  // sticky, as stdio's end-of-file flag
    bool failed;               // read error, or line buffer past the limit
    std::uint64_t bufsz;       // libuci's line buffer size; 0 before the first line
    std::uint64_t ofs;         // content bytes in the line buffer
    std::uint64_t cap;         // bytes the current fgets call may still read
    bool call_empty;           // the current fgets call has read nothing yet
    bool line_done;            // the current line (one getln) has ended
    unsigned char rawbuf[512];
};

enum : unsigned char {
    NOT_NAME = 1,    // outside A-Z a-z 0-9 _ (section and option names)
    NOT_PACKAGE = 2, // outside A-Z a-z 0-9 _ - (package statement)
    NOT_TYPE = 4,    // outside bytes 33..126 (section types, package file names)
    NOT_CLASSES = NOT_NAME | NOT_PACKAGE | NOT_TYPE,
};

// One argument as the parser builds it. Its bytes are kept up to keep_cap;
// length, hashes and character classes cover all of it.
struct token {
    std::uint64_t len;
    std::uint64_t hash;  // FNV-1a, when hashing
    std::uint32_t djb;   // libuci's hash for anonymous section names, when hashing
    unsigned char bad;   // NOT_* classes seen, when classifying
    bool hashing;
    bool classifying;
    bool matches;        // equal so far to `match`
    char *keep;
    std::size_t keep_cap;
    const char *match;
    std::size_t match_len;
};

struct str_ref {
    std::uint16_t off;  // in the arena
    std::uint16_t kept; // bytes stored there
    std::uint32_t len;  // full length, saturated
    std::uint64_t hash;
};

enum class role : std::uint8_t { none, first, second };

struct section_entry {
    str_ref name;         // unused for anonymous sections
    str_ref type;
    std::uint32_t anon_n; // anonymous: sequence number in the generated name
    std::uint16_t anon_h; // anonymous: type hash in the generated name
    bool anonymous;
    role query_role;      // which of the looked-up sections this is
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
    std::uint64_t index;       // among anonymous sections, from 1
    std::uint64_t ordinal;     // among config commands, from 1
    std::uint64_t acc;         // named sections first seen before it
    std::uint64_t pass_acc;
    std::uint64_t first_named; // first config command using its generated name, 0 if none
    std::uint32_t n;           // its generated name
    std::uint16_t h;
};

// A named config command that re-opens an anonymous section (its name is the
// generated one): it creates no section.
struct anon_hit {
    std::uint64_t line;        // config command ordinal
    std::uint64_t anon_index;
};

constexpr std::size_t PROBES = 8;
constexpr std::size_t HITS = 8;
constexpr std::size_t TYPE_SET = 16;

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
    std::uint32_t current; // keys of the section being read, one bit each
    std::uint8_t key_query[CFG_BUILTIN_BATCH_MAX]; // a query that names the key
    std::uint8_t option_len[CFG_BUILTIN_BATCH_MAX];
    std::uint8_t key_of[CFG_BUILTIN_BATCH_MAX];    // each query's key, or ALONE
    // the distinct section names: a query naming each, and their keys
    std::uint8_t section_query[CFG_BUILTIN_BATCH_MAX];
    std::uint8_t section_len[CFG_BUILTIN_BATCH_MAX];
    std::uint32_t section_keys[CFG_BUILTIN_BATCH_MAX];
    query_slot slot[CFG_BUILTIN_BATCH_MAX];
};

struct lookup {
    const char *section;
    const char *option;
    std::size_t section_len;
    std::size_t option_len;
    bool section_generated;  // `section` has the form of a generated name
    std::uint32_t section_n;
    std::uint16_t section_h;

    pass_mode mode;
    std::uint64_t part;
    std::uint64_t parts;

    section_entry entries[CFG_BUILTIN_MAX_SECTIONS];
    std::size_t n_entries;
    std::size_t max_entries;
    char arena[CFG_BUILTIN_ARENA_BYTES];
    std::size_t arena_used;
    std::size_t arena_cap;
    bool overflowed;         // a section did not fit: the table is a prefix
    bool table_full;         // set in a partition pass that ran out of room

    std::uint64_t n_section; // sections created, libuci's counter
    bool in_section;
    role current;
    bool have_first;
    query_slot slot[2];
    std::uint64_t option_ordinal;

    std::uint16_t anon_types[TYPE_SET]; // type hashes of anonymous sections
    std::size_t n_anon_types;
    bool anon_types_overflow;
    std::uint16_t gen_types[TYPE_SET];  // type hashes in section names that look generated
    std::size_t n_gen_types;
    bool gen_types_overflow;
    std::uint32_t gen_n[TYPE_SET];      // and those names' numbers, while they fit
    std::uint16_t gen_h[TYPE_SET];
    std::size_t n_gen;
    bool gen_overflow;

    std::uint64_t config_ordinal; // config commands so far in this pass
    std::uint64_t anon_index;     // anonymous sections so far in this pass
    std::uint64_t named_first;    // partition: named sections first seen so far

    anon_probe probes[PROBES];
    std::size_t n_probes;
    std::size_t n_probes_seen;    // in the current pass
    std::uint64_t probes_after;   // anonymous sections already worked out
    anon_hit hits[HITS];
    std::size_t n_hits;
    std::uint64_t probe_anon;     // probe pass: the anonymous section ...
    std::uint64_t probe_line;     // ... and the command that re-opens it
    std::uint64_t query_anon;     // query pass: anonymous section named `section`, 0 if none
    role query_anon_role;

    std::uint64_t capture_ordinal;
    char *capture_out;
    std::size_t capture_cap;

    batch *bt; // a batch of lookups in the first pass instead of `section` and `option`
};

struct parser {
    line_reader rd;
    int c;  // current content byte, 0 where the line's content ends
    int la; // byte after c when already fetched, else -1
    lookup *lk;
};

} // namespace

static constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
static constexpr std::uint64_t FNV_PRIME = 0x100000001b3ull;
static constexpr std::uint64_t FIRST_LINE_BUFFER = 32;
static constexpr std::size_t MIN_ARENA = 2 * CFG_BUILTIN_TOKEN_KEEP;
static constexpr unsigned MAX_PARTITION_DEPTH = 40;
static constexpr std::uint8_t ALONE = 0xff; // a query looked up on its own

static_assert(CFG_BUILTIN_BATCH_MAX <= 32, "one bit per key in batch::current");
static_assert(CFG_BUILTIN_TOKEN_KEEP <= 255, "batch names' lengths in a byte");

// A plain array in a struct rather than std::array: indexing it needs no
// bounds check from the C++ library (every index is a byte), so the reader
// links without libstdc++ even under -D_GLIBCXX_ASSERTIONS.
struct class_table {
    unsigned char of[256];
};

static constexpr class_table make_classes()
{
    class_table t{};
    for (int c = 0; c < 256; c++) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        unsigned char bad = 0;
        if (!alnum && c != '_')
            bad |= NOT_NAME;
        if (!alnum && c != '_' && c != '-')
            bad |= NOT_PACKAGE;
        if (c < 33 || c > 126)
            bad |= NOT_TYPE;
        t.of[c] = bad;
    }
    return t;
}

static constexpr class_table CLASSES = make_classes();

// isspace() in the C locale, which libuci runs in.
static inline bool is_space(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* ---- line reader ---- */

static bool refill(line_reader *r)
{
    if (r->eof)
        return false;
    if (r->data) {
        if (r->next_offset >= r->data_size) {
            r->eof = true;
            return false;
        }
        r->raw = r->data + r->next_offset;
        r->raw_len = r->data_size - static_cast<std::size_t>(r->next_offset);
        r->raw_pos = 0;
        r->next_offset = r->data_size;
        return true;
    }
    for (;;) {
        ssize_t n = pread(r->fd, r->rawbuf, sizeof(r->rawbuf), static_cast<off_t>(r->next_offset));
        if (n > 0) {
            r->raw = r->rawbuf;
            r->raw_len = static_cast<std::size_t>(n);
            r->raw_pos = 0;
            r->next_offset += static_cast<std::uint64_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // libuci would retry a failing read forever; give up instead.
        if (n < 0)
            r->failed = true;
        r->eof = true;
        return false;
    }
}

static inline int raw_next(line_reader *r)
{
    if (r->raw_pos == r->raw_len && !refill(r))
        return -1;
    return r->raw[r->raw_pos++];
}

static void start_call(line_reader *r)
{
    r->cap = r->bufsz - r->ofs - 1;
    r->call_empty = true;
}

static void grow(line_reader *r)
{
    r->bufsz *= 2;
    if (r->bufsz > CFG_BUILTIN_LINE_BUFFER_LIMIT) {
        r->failed = true;
        r->eof = true;
    }
}

// The rest of an fgets call after a NUL byte: read, then lost to strlen.
static void skip_call_rest(line_reader *r)
{
    while (r->cap > 0) {
        int b = raw_next(r);
        if (b < 0)
            return;
        r->cap--;
        if (b == '\n')
            return;
    }
}

// Next byte of the current line's content, or 0 where it ends.
static int next_content(line_reader *r)
{
    if (r->line_done)
        return 0;
    for (;;) {
        if (r->cap == 0) {
            // the call filled the buffer without a newline: bigger buffer, next call
            grow(r);
            start_call(r);
            continue;
        }
        int b = raw_next(r);
        if (b < 0) {
            if (r->call_empty || r->failed) {
                r->line_done = true;
                return 0;
            }
            grow(r);
            start_call(r);
            continue;
        }
        r->cap--;
        if (b == 0) {
            bool empty = r->call_empty;
            skip_call_rest(r);
            if (empty || r->failed) {
                r->line_done = true;
                return 0;
            }
            grow(r);
            start_call(r);
            continue;
        }
        r->call_empty = false;
        r->ofs++;
        if (b == '\n')
            r->line_done = true;
        return b;
    }
}

// Consumes n bytes that the current fgets call reads as line content.
static inline void take(line_reader *r, std::size_t n)
{
    r->raw_pos += n;
    r->cap -= n;
    r->ofs += n;
    r->call_empty = false;
}

// The rest of the current line, unread (after a comment or an error-free
// end of the commands).
static void drain_line(line_reader *r)
{
    while (!r->line_done) {
        std::size_t avail = r->raw_len - r->raw_pos;
        if (avail > r->cap)
            avail = static_cast<std::size_t>(r->cap);
        if (avail > 0) {
            // the bytes up to the line's end or a NUL go at once
            const unsigned char *q = r->raw + r->raw_pos;
            const void *end = std::memchr(q, '\n', avail);
            std::size_t n = end ? static_cast<std::size_t>(static_cast<const unsigned char *>(end) - q) : avail;
            end = std::memchr(q, 0, n);
            if (end)
                n = static_cast<std::size_t>(static_cast<const unsigned char *>(end) - q);
            if (n > 0)
                take(r, n);
        }
        next_content(r);
    }
}

// libuci's uci_getln(ctx, offset): a new line appended at `offset`.
static void getln(line_reader *r, std::uint64_t offset)
{
    if (r->bufsz == 0)
        r->bufsz = FIRST_LINE_BUFFER;
    if (offset >= r->bufsz - 1)
        grow(r);
    r->ofs = offset;
    r->line_done = false;
    start_call(r);
}

/* ---- tokens ---- */

static bool same_bytes(const char *a, const char *b, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

static void tok_init(token *t, char *keep, std::size_t keep_cap, const char *match,
                     std::size_t match_len, bool hashing, bool classifying)
{
    t->len = 0;
    t->hash = FNV_OFFSET;
    t->djb = 5381;
    t->bad = 0;
    t->hashing = hashing;
    t->classifying = classifying;
    t->matches = match != nullptr;
    t->keep = keep;
    t->keep_cap = keep_cap;
    t->match = match;
    t->match_len = match_len;
}

static inline void tok_add(token *t, int c)
{
    if (t->len < t->keep_cap)
        t->keep[t->len] = static_cast<char>(c);
    if (t->matches)
        t->matches = t->len < t->match_len && static_cast<unsigned char>(t->match[t->len]) == c;
    if (t->hashing) {
        t->hash = (t->hash ^ static_cast<std::uint64_t>(c)) * FNV_PRIME;
        t->djb = t->djb * 33 + static_cast<std::uint32_t>(c);
    }
    if (t->classifying)
        t->bad |= CLASSES.of[static_cast<std::size_t>(c)] & NOT_CLASSES;
    t->len++;
}

static bool tok_equals_match(const token *t)
{
    return t->matches && t->len == t->match_len;
}

static std::size_t tok_kept(const token *t)
{
    return t->len < t->keep_cap ? static_cast<std::size_t>(t->len) : t->keep_cap;
}

static inline std::uint32_t saturate32(std::uint64_t v)
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

// Whether `s` (len bytes) is a name libuci could generate for an anonymous
// section, "cfg" + printf("%02x", n) + printf("%04x", h); if so, n and h.
static bool parse_generated(const char *s, std::size_t len, std::uint32_t *n, std::uint16_t *h)
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
    return r->len == saturate32(t->len) && r->hash == t->hash &&
           std::memcmp(lk->arena + r->off, t->keep, r->kept) == 0;
}

static void store(lookup *lk, str_ref *r, const token *t)
{
    std::size_t kept = tok_kept(t);
    std::memcpy(lk->arena + lk->arena_used, t->keep, kept);
    r->off = static_cast<std::uint16_t>(lk->arena_used);
    r->kept = static_cast<std::uint16_t>(kept);
    r->len = saturate32(t->len);
    r->hash = t->hash;
    lk->arena_used += kept;
}

static section_entry *add_entry(lookup *lk, const token *name, const token *type)
{
    std::size_t need = tok_kept(type) + (name ? tok_kept(name) : 0);
    if (lk->n_entries == lk->max_entries || lk->arena_cap - lk->arena_used < need)
        return nullptr;
    section_entry *e = &lk->entries[lk->n_entries++];
    *e = section_entry{};
    store(lk, &e->type, type);
    if (name)
        store(lk, &e->name, name);
    return e;
}

// The first remembered section named like `name` (libuci's uci_lookup_list).
static section_entry *find_entry(lookup *lk, const token *name, bool generated,
                                 std::uint32_t gn, std::uint16_t gh)
{
    for (std::size_t i = 0; i < lk->n_entries; i++) {
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

static void add_to_set(std::uint16_t *set, std::size_t *n, std::size_t cap, bool *overflow,
                       std::uint16_t h)
{
    if (in_set(set, *n, *overflow, h))
        return;
    if (*n == cap)
        *overflow = true;
    else
        set[(*n)++] = h;
}

// Whether an anonymous section of type hash h can have a generated name that
// matters: one a named section in the file may use, or the looked-up one.
static bool anon_relevant(const lookup *lk, std::uint16_t h)
{
    return in_set(lk->gen_types, lk->n_gen_types, lk->gen_types_overflow, h) ||
           (lk->section_generated && lk->section_h == h);
}

// The same for the anonymous section being read, whose number lies between
// the anonymous sections and the config commands so far.
static bool anon_relevant_here(const lookup *lk, std::uint16_t h)
{
    std::uint64_t lo = lk->anon_index;
    std::uint64_t hi = lk->config_ordinal;
    if (lk->section_generated && lk->section_h == h && lk->section_n >= lo && lk->section_n <= hi)
        return true;
    if (lk->gen_overflow)
        return in_set(lk->gen_types, lk->n_gen_types, lk->gen_types_overflow, h);
    for (std::size_t i = 0; i < lk->n_gen; i++)
        if (lk->gen_h[i] == h && lk->gen_n[i] >= lo && lk->gen_n[i] <= hi)
            return true;
    return false;
}

static std::uint64_t hits_before(const lookup *lk, std::uint64_t line)
{
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < lk->n_hits; i++)
        if (lk->hits[i].line < line)
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

// The keys of the batch's section named by the `len` bytes at `s`; 0 if none.
static std::uint32_t batch_section(const batch *bt, const char *s, std::uint64_t len)
{
    for (std::size_t i = 0; i < bt->n_sections; i++) {
        const char *name = bt->queries[bt->section_query[i]].section;
        if (bt->section_len[i] == len && std::memcmp(name, s, static_cast<std::size_t>(len)) == 0)
            return bt->section_keys[i];
    }
    return 0;
}

// The key among `keys` (all of one section) for the option named by the
// `len` bytes at `s`; -1 if none.
static int batch_option(const batch *bt, std::uint32_t keys, const char *s, std::uint64_t len)
{
    for (; keys != 0; keys &= keys - 1) {
        int k = std::countr_zero(keys);
        const char *name = bt->queries[bt->key_query[k]].option;
        // the first bytes sort most out (both are NUL for empty names)
        if (bt->option_len[k] == len && name[0] == s[0] &&
            std::memcmp(name, s, static_cast<std::size_t>(len)) == 0)
            return k;
    }
    return -1;
}

/* ---- what the commands do to the package ---- */

// First pass, anonymous section: named cfgNNHHHH (NN: sections so far,
// HHHH: type hash), remembered while the table has room.
static void first_anonymous(lookup *lk, const token *type, std::uint16_t h)
{
    lk->n_section++;
    add_to_set(lk->anon_types, &lk->n_anon_types, TYPE_SET, &lk->anon_types_overflow, h);
    role r = role::none;
    if (!lk->overflowed && lk->section_generated && lk->section_n == lk->n_section &&
        lk->section_h == h)
        r = lk->have_first ? role::second : role::first;
    if (r == role::first)
        lk->have_first = true;
    if (!lk->overflowed) {
        section_entry *e = add_entry(lk, nullptr, type);
        if (e) {
            e->anonymous = true;
            e->anon_n = static_cast<std::uint32_t>(lk->n_section);
            e->anon_h = h;
            e->query_role = r;
        } else {
            lk->overflowed = true;
        }
    }
    lk->current = r;
}

// First pass, named section: a repeated name re-opens the first section of
// that name, which must have the same type.
static bool first_named(lookup *lk, const token *type, const token *name, bool generated,
                        std::uint32_t gn, std::uint16_t gh)
{
    if (generated) {
        add_to_set(lk->gen_types, &lk->n_gen_types, TYPE_SET, &lk->gen_types_overflow, gh);
        bool known = false;
        for (std::size_t i = 0; i < lk->n_gen && !known; i++)
            known = lk->gen_n[i] == gn && lk->gen_h[i] == gh;
        if (!known && lk->n_gen == TYPE_SET)
            lk->gen_overflow = true;
        else if (!known) {
            lk->gen_n[lk->n_gen] = gn;
            lk->gen_h[lk->n_gen++] = gh;
        }
    }
    section_entry *e = find_entry(lk, name, generated, gn, gh);
    if (e) {
        lk->current = e->query_role;
        return ref_equals(lk, &e->type, type); // else: section of different type
    }
    role r = tok_equals_match(name) ? role::first : role::none;
    if (r == role::first)
        lk->have_first = true;
    lk->current = r;
    if (lk->overflowed)
        return true; // not known whether it is new: later passes sort that out
    lk->n_section++;
    e = add_entry(lk, name, type);
    if (e)
        e->query_role = r;
    else
        lk->overflowed = true;
    return true;
}

// Partition pass, anonymous section: note where the probed ones stand.
static void partition_anonymous(lookup *lk, std::uint16_t h)
{
    if (lk->anon_index <= lk->probes_after || lk->n_probes_seen == PROBES ||
        !anon_relevant_here(lk, h))
        return;
    anon_probe *a = &lk->probes[lk->n_probes_seen++];
    a->index = lk->anon_index;
    a->ordinal = lk->config_ordinal;
    a->h = h;
    a->pass_acc = lk->named_first;
}

// Partition pass, named section of this partition: type check against the
// first section of that name, or remembered as new.
static bool partition_named(lookup *lk, const token *type, const token *name)
{
    if ((mix64(name->hash) & (lk->parts - 1)) != lk->part)
        return true;
    section_entry *e = find_entry(lk, name, false, 0, 0);
    if (e)
        return ref_equals(lk, &e->type, type);
    if (!add_entry(lk, name, type)) {
        lk->table_full = true;
        return false;
    }
    lk->named_first++;
    return true;
}

// "config TYPE [NAME]". Returns false to stop the pass (pass result in lk).
static bool on_config(lookup *lk, const token *type, const token *name)
{
    lk->in_section = true;
    lk->config_ordinal++;
    std::uint16_t h = static_cast<std::uint16_t>(type->djb & 0xffff);
    std::uint32_t gn = 0;
    std::uint16_t gh = 0;
    bool anonymous = name->len == 0;
    bool generated = !anonymous && name->len <= name->keep_cap &&
                     parse_generated(name->keep, tok_kept(name), &gn, &gh);
    if (anonymous)
        lk->anon_index++;

    switch (lk->mode) {
    case pass_mode::first: {
        if (anonymous) {
            first_anonymous(lk, type, h);
            return true;
        }
        bool ok = first_named(lk, type, name, generated, gn, gh);
        if (lk->bt) {
            // the one section of this name, new or re-opened
            lk->bt->current = batch_section(lk->bt, name->keep, name->len);
            lk->current = lk->bt->current ? role::first : role::none;
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
            for (std::size_t i = 0; i < lk->n_probes; i++) {
                anon_probe *a = &lk->probes[i];
                if (a->first_named == 0 && a->n == gn && a->h == gh)
                    a->first_named = lk->config_ordinal;
            }
        }
        return true;

    case pass_mode::probe:
        if (anonymous && lk->anon_index == lk->probe_anon)
            return add_entry(lk, nullptr, type) != nullptr;
        if (lk->config_ordinal == lk->probe_line)
            return lk->n_entries == 1 && ref_equals(lk, &lk->entries[0].type, type);
        return true;

    case pass_mode::query:
        if (anonymous)
            lk->current = lk->anon_index == lk->query_anon ? lk->query_anon_role : role::none;
        else if (tok_equals_match(name))
            lk->current = role::first;
        else
            lk->current = role::none;
        return true;

    case pass_mode::capture:
        return true;
    }
    return true;
}

// 'c', 'o', 'l' or 'p' for a command word, in full or by its first letter; 0 for others.
static char keyword(const char *w, std::size_t len)
{
    const char *k;
    std::size_t klen;
    switch (w[0]) {
    case 'c':
        k = "config";
        klen = 6;
        break;
    case 'o':
        k = "option";
        klen = 6;
        break;
    case 'l':
        k = "list";
        klen = 4;
        break;
    case 'p':
        k = "package";
        klen = 7;
        break;
    default:
        return 0;
    }
    if (len == 1 || (len == klen && same_bytes(w, k, len)))
        return w[0];
    return 0;
}

static bool option_looking(const lookup *lk)
{
    return lk->mode == pass_mode::first || lk->mode == pass_mode::query;
}

/* ---- libuci's parser, over the stream ---- */

static void adv(parser *p)
{
    if (p->la >= 0) {
        p->c = p->la;
        p->la = -1;
        return;
    }
    // the common case: an ordinary byte already in the read buffer
    line_reader *r = &p->rd;
    if (!r->line_done && r->cap > 0 && r->raw_pos < r->raw_len) {
        int b = r->raw[r->raw_pos];
        if (b != 0 && b != '\n') {
            take(r, 1);
            p->c = b;
            return;
        }
    }
    p->c = next_content(r);
}

static int peek1(parser *p)
{
    if (p->la < 0)
        p->la = next_content(&p->rd);
    return p->la;
}

// The parser wrote a NUL at its read position ('#', or ';' right after a
// plain word): the line ends there for it.
static void cut_line(parser *p)
{
    p->c = 0;
    p->la = -1;
}

// getln(pos): the next line is appended where the parser stands, replacing
// what it has not consumed (the line break after a backslash).
static void continue_line(parser *p, std::uint64_t pos)
{
    getln(&p->rd, pos);
    p->la = -1;
    p->c = next_content(&p->rd);
}

static void skip_space(parser *p)
{
    while (p->c != 0 && is_space(p->c))
        adv(p);
}

// After a backslash: true if the next byte is taken literally, false if the
// backslash ended the line and the next line was read on.
static bool parse_backslash(parser *p)
{
    adv(p);
    if (p->c == 0) {
        continue_line(p, p->rd.ofs);
        return false;
    }
    if (p->c == '\n') {
        continue_line(p, p->rd.ofs - 1);
        return false;
    }
    if (p->c == '\r' && peek1(p) == '\n') {
        continue_line(p, p->rd.ofs - 2);
        return false;
    }
    return true;
}

static bool parse_double_quote(parser *p, token *t)
{
    adv(p);
    for (;;) {
        switch (p->c) {
        case '"':
            adv(p);
            return true;
        case 0:
            continue_line(p, p->rd.ofs);
            if (p->c == 0)
                return false; // EOF with unterminated "
            break;
        case '\\':
            if (!parse_backslash(p))
                continue;
            tok_add(t, p->c);
            adv(p);
            break;
        default:
            tok_add(t, p->c);
            adv(p);
            break;
        }
    }
}

static bool parse_single_quote(parser *p, token *t)
{
    adv(p);
    for (;;) {
        switch (p->c) {
        case '\'':
            adv(p);
            return true;
        case 0:
            continue_line(p, p->rd.ofs);
            if (p->c == 0)
                return false; // EOF with unterminated '
            break;
        default:
            tok_add(t, p->c);
            adv(p);
            break;
        }
    }
}

static bool parse_str(parser *p, token *t)
{
    bool next = true;
    // libuci compacts the argument in place; once a quote or backslash was
    // dropped, its terminating NUL no longer lands on a following ';'
    bool compacted = false;
    do {
        switch (p->c) {
        case '\'':
            compacted = true;
            if (!parse_single_quote(p, t))
                return false;
            break;
        case '"':
            compacted = true;
            if (!parse_double_quote(p, t))
                return false;
            break;
        case '#':
            cut_line(p);
            goto done;
        case 0:
            goto done;
        case ';':
            next = false;
            goto done;
        case '\\':
            compacted = true;
            if (!parse_backslash(p))
                continue;
            tok_add(t, p->c);
            adv(p);
            break;
        default:
            tok_add(t, p->c);
            adv(p);
            break;
        }
    } while (p->c != 0 && !is_space(p->c));
done:
    if (p->c != 0 && next)
        adv(p);
    if (!next && !compacted)
        cut_line(p); // "x;" : the ';' became the word's NUL, the rest is lost
    return true;
}

// false: load error. `reject` holds the NOT_* classes a name may not contain.
static bool next_arg(parser *p, token *t, bool required, unsigned char reject)
{
    skip_space(p);
    if (p->c == ';')
        adv(p); // an empty argument
    else if (!parse_str(p, t))
        return false;
    if (t->len == 0)
        return !required; // insufficient arguments
    return (t->bad & reject) == 0; // invalid character in name field
}

static bool assert_eol(parser *p)
{
    token extra;
    tok_init(&extra, nullptr, 0, nullptr, 0, false, false);
    skip_space(p);
    if (!next_arg(p, &extra, false, 0))
        return false;
    return extra.len == 0; // too many arguments
}

static bool parse_package(parser *p)
{
    token name;
    tok_init(&name, nullptr, 0, nullptr, 0, false, true);
    return next_arg(p, &name, true, NOT_PACKAGE) && assert_eol(p);
}

static bool parse_config(parser *p)
{
    lookup *lk = p->lk;
    char type_keep[CFG_BUILTIN_TOKEN_KEEP];
    char name_keep[CFG_BUILTIN_TOKEN_KEEP];
    token type;
    token name;
    tok_init(&type, type_keep, sizeof(type_keep), nullptr, 0, true, true);
    if (!next_arg(p, &type, true, 0) || (type.bad & NOT_TYPE))
        return false;
    tok_init(&name, name_keep, sizeof(name_keep), option_looking(lk) ? lk->section : nullptr,
             lk->section_len, true, true);
    if (!next_arg(p, &name, false, NOT_NAME) || !assert_eol(p))
        return false;
    return on_config(lk, &type, &name);
}

// Where the value of an option command goes, once its name is known (the
// token, and its bytes where it is short enough to be kept whole): the slot
// of the looked-up option, the caller's slot in a capture pass, or nowhere.
static query_slot *value_target(lookup *lk, const token *name, const char *bytes, char **keep,
                                std::size_t *keep_cap)
{
    *keep = nullptr;
    *keep_cap = 0;
    query_slot *slot = nullptr;
    if (option_looking(lk) && lk->current != role::none) {
        if (lk->bt) {
            // keys are distinct: one option name at most in a section's keys
            int k = batch_option(lk->bt, lk->bt->current, bytes, name->len);
            if (k >= 0)
                slot = &lk->bt->slot[k];
        } else if (tok_equals_match(name)) {
            slot = &lk->slot[lk->current == role::first ? 0 : 1];
        }
    }
    if (slot) {
        *keep = slot->value; // an empty value writes nothing, so the old one survives
        *keep_cap = sizeof(slot->value);
        return slot;
    }
    if (lk->mode == pass_mode::capture && lk->option_ordinal + 1 == lk->capture_ordinal) {
        *keep = lk->capture_out;
        *keep_cap = lk->capture_cap;
    }
    return nullptr;
}

// `value` may only be null when `slot` is.
static void on_option(lookup *lk, query_slot *slot, const token *value, bool list)
{
    lk->option_ordinal++;
    if (!slot)
        return;
    if (list) {
        slot->state = slot_state::list;
    } else if (value->len > 0) {
        // an empty value neither creates nor clears an option
        slot->state = slot_state::string;
        slot->len = value->len;
        slot->ordinal = lk->option_ordinal;
    }
}

static bool parse_option(parser *p, bool list)
{
    lookup *lk = p->lk;
    char name_keep[CFG_BUILTIN_TOKEN_KEEP];
    token name;
    token value;
    // the caller's option name may share memory with its output slot: it is
    // only read in lookup passes, which never write there
    tok_init(&name, name_keep, sizeof(name_keep), option_looking(lk) ? lk->option : nullptr,
             lk->option_len, false, true);
    if (!next_arg(p, &name, true, NOT_NAME))
        return false;
    char *keep;
    std::size_t keep_cap;
    query_slot *slot = value_target(lk, &name, name_keep, &keep, &keep_cap);
    tok_init(&value, keep, keep_cap, nullptr, 0, false, false);
    if (!next_arg(p, &value, false, 0) || !assert_eol(p))
        return false;
    on_option(lk, slot, &value, list);
    return true;
}

// One line as uci_parse_line handles it: commands split off with strtok at
// spaces and tabs, several per line when ';' separates them.
static bool parse_line(parser *p)
{
    skip_space(p);
    for (;;) {
        while (p->c == ' ' || p->c == '\t')
            adv(p);
        if (p->c == 0)
            return true;
        if (p->c == '#')
            return true; // comment
        char word[8];
        std::size_t wlen = 0;
        while (p->c != 0 && p->c != ' ' && p->c != '\t') {
            if (wlen == sizeof(word))
                return false; // no keyword is that long: invalid command
            word[wlen++] = static_cast<char>(p->c);
            adv(p);
        }
        bool delimited = p->c != 0;
        char kw = keyword(word, wlen);
        if (kw == 0)
            return false; // invalid command
        if ((kw == 'o' || kw == 'l') && !p->lk->in_section)
            return false; // option/list before the first section
        if (!delimited)
            return false; // keyword with nothing after it
        adv(p);           // the space or tab strtok replaced with NUL
        bool ok = kw == 'p'   ? parse_package(p)
                  : kw == 'c' ? parse_config(p)
                              : parse_option(p, kw == 'l');
        if (!ok)
            return false;
    }
}

// One pass of uci_import over the source.
static pass_result run_pass(lookup *lk, int fd, const unsigned char *data, std::size_t size)
{
    parser p;
    // field by field: the read buffer needs no clearing
    p.rd.fd = fd;
    p.rd.data = data;
    p.rd.data_size = size;
    p.rd.next_offset = 0;
    p.rd.raw = nullptr;
    p.rd.raw_len = 0;
    p.rd.raw_pos = 0;
    p.rd.eof = false;
    p.rd.failed = false;
    p.rd.bufsz = 0;
    p.rd.ofs = 0;
    p.rd.cap = 0;
    p.rd.call_empty = true;
    p.rd.line_done = true;
    p.lk = lk;
    p.c = 0;
    p.la = -1;

    lk->n_section = 0;
    lk->in_section = false;
    lk->current = role::none;
    lk->option_ordinal = 0;
    lk->config_ordinal = 0;
    lk->anon_index = 0;
    lk->named_first = 0;
    lk->n_probes_seen = 0;
    for (;;) {
        if (p.rd.eof)
            break;
        getln(&p.rd, 0);
        p.la = -1;
        p.c = next_content(&p.rd);
        if (p.c != 0 && !parse_line(&p)) {
            return lk->table_full ? pass_result::overflow : pass_result::load_failed;
        }
        drain_line(&p.rd);
        if (p.rd.failed)
            break;
    }
    return p.rd.failed ? pass_result::load_failed : pass_result::ok;
}

static void reset_table(lookup *lk)
{
    lk->n_entries = 0;
    lk->arena_used = 0;
    lk->overflowed = false;
    lk->table_full = false;
}

namespace {
struct source {
    int fd;
    const unsigned char *data;
    std::size_t size;
    unsigned passes;
    bool undecided; // some lookup needed more state than the reader keeps
};
} // namespace

static pass_result pass(lookup *lk, source *src, pass_mode mode)
{
    reset_table(lk);
    lk->mode = mode;
    src->passes++;
    return run_pass(lk, src->fd, src->data, src->size);
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
        lk->probes[i].acc = 0;
    for (;;) {
        lk->part = part;
        lk->parts = parts;
        pass_result r = pass(lk, src, pass_mode::partition);
        if (r == pass_result::overflow) {
            if (++depth > MAX_PARTITION_DEPTH)
                return pass_result::undecided;
            parts *= 2;
            continue;
        }
        if (r != pass_result::ok)
            return r;
        lk->n_probes = lk->n_probes_seen;
        for (std::size_t i = 0; i < lk->n_probes; i++)
            lk->probes[i].acc += lk->probes[i].pass_acc;
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
    std::size_t base_hits = lk->n_hits;
    for (std::size_t round = 0; round <= PROBES + 1; round++) {
        bool changed = false;
        for (std::size_t i = 0; i < lk->n_probes; i++) {
            anon_probe *a = &lk->probes[i];
            std::uint64_t n = a->index + a->acc - hits_before(lk, a->ordinal);
            if (n != a->n)
                changed = true;
            a->n = static_cast<std::uint32_t>(n);
        }
        if (!changed && round > 0)
            return pass_result::ok;
        for (std::size_t i = 0; i < lk->n_probes; i++)
            lk->probes[i].first_named = 0;
        pass_result r = pass(lk, src, pass_mode::scan);
        if (r != pass_result::ok)
            return r;
        lk->n_hits = base_hits;
        for (std::size_t i = 0; i < lk->n_probes; i++) {
            const anon_probe *a = &lk->probes[i];
            if (a->first_named <= a->ordinal)
                continue; // not used as a name, or used before: two sections
            if (lk->n_hits == HITS)
                return pass_result::undecided;
            lk->hits[lk->n_hits++] = anon_hit{a->first_named, a->index};
        }
    }
    return pass_result::undecided;
}

// Exact lookup in a file whose sections did not fit in the table and where
// generated names can matter.
static pass_result slow_lookup(lookup *lk, source *src)
{
    lk->n_hits = 0;
    lk->probes_after = 0;
    lk->query_anon = 0;
    lk->query_anon_role = role::none;
    for (;;) {
        pass_result r = check_partitions(lk, src);
        if (r != pass_result::ok)
            return r;
        if (lk->n_probes == 0)
            break;
        for (std::size_t i = 0; i < lk->n_probes; i++)
            lk->probes[i].n = 0;
        r = resolve_probes(lk, src);
        if (r != pass_result::ok)
            return r;
        for (std::size_t i = 0; i < lk->n_probes; i++) {
            const anon_probe *a = &lk->probes[i];
            if (lk->section_generated && a->n == lk->section_n && a->h == lk->section_h) {
                lk->query_anon = a->index;
                // a name used before the anonymous section made a section of its own
                bool named_before = a->first_named != 0 && a->first_named < a->ordinal;
                lk->query_anon_role = named_before ? role::second : role::first;
            }
        }
        lk->probes_after = lk->probes[lk->n_probes - 1].index;
    }
    // a command that re-opens an anonymous section must give its type
    for (std::size_t i = 0; i < lk->n_hits; i++) {
        lk->probe_anon = lk->hits[i].anon_index;
        lk->probe_line = lk->hits[i].line;
        pass_result r = pass(lk, src, pass_mode::probe);
        if (r != pass_result::ok)
            return r;
    }
    // Only a generated name can be borne by more than one section, or by an
    // anonymous one: for other names (and a batch's), the first pass's
    // values stand, and the passes above only had to check the types.
    if (!lk->section_generated)
        return pass_result::ok;
    lk->slot[0].state = slot_state::absent;
    lk->slot[1].state = slot_state::absent;
    return pass(lk, src, pass_mode::query);
}

// A lookup of `option` in the sections named `section` or, with both null,
// of the batch `bt`: the first pass and, where it did not see the whole
// package, the passes that make its answer exact.
static pass_result run_lookup(lookup *lk, source *src, const char *section, const char *option,
                              batch *bt, const cfg_builtin_tuning *tuning)
{
    lk->section = section;
    lk->option = option;
    lk->section_len = section ? std::strlen(section) : 0;
    lk->option_len = option ? std::strlen(option) : 0;
    lk->section_generated =
        section && parse_generated(section, lk->section_len, &lk->section_n, &lk->section_h);
    lk->part = 0;
    lk->parts = 1;
    lk->max_entries = CFG_BUILTIN_MAX_SECTIONS;
    lk->arena_cap = CFG_BUILTIN_ARENA_BYTES;
    if (tuning) {
        if (tuning->max_sections > 0 && tuning->max_sections < lk->max_entries)
            lk->max_entries = tuning->max_sections;
        if (tuning->arena_bytes > 0 && tuning->arena_bytes < lk->arena_cap)
            lk->arena_cap = tuning->arena_bytes < MIN_ARENA ? MIN_ARENA : tuning->arena_bytes;
    }
    lk->have_first = false;
    lk->slot[0].state = slot_state::absent;
    lk->slot[1].state = slot_state::absent;
    lk->n_anon_types = 0;
    lk->anon_types_overflow = false;
    lk->n_gen_types = 0;
    lk->gen_types_overflow = false;
    lk->n_gen = 0;
    lk->gen_overflow = false;
    lk->n_probes = 0;
    lk->n_hits = 0;
    lk->probes_after = 0;
    lk->capture_ordinal = 0;
    lk->capture_out = nullptr;
    lk->capture_cap = 0;
    lk->bt = bt;

    pass_result r = pass(lk, src, pass_mode::first);
    if (r == pass_result::ok && lk->overflowed) {
        // Not every section was remembered. Unless an anonymous section's
        // generated name can matter, the first pass's answer holds and only
        // the type checks are redone, a partition at a time.
        bool relevant = lk->anon_types_overflow;
        for (std::size_t i = 0; i < lk->n_anon_types; i++)
            relevant = relevant || anon_relevant(lk, lk->anon_types[i]);
        lk->probes_after = ~std::uint64_t{0}; // no probes unless relevant
        r = relevant ? slow_lookup(lk, src) : check_partitions(lk, src);
    }
    if (r == pass_result::undecided)
        src->undecided = true;
    return r;
}

// The answer from the option's slot once the passes are over: on found, all
// out_size bytes of `out` cleared and the value copied, cut to out_size - 1.
static cfg_result answer(lookup *lk, source *src, const query_slot *s, char *out,
                         std::size_t out_size)
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
    lk->capture_ordinal = s->ordinal;
    lk->capture_out = out;
    lk->capture_cap = out_size - 1;
    return pass(lk, src, pass_mode::capture) == pass_result::ok ? cfg_result::found
                                                               : cfg_result::load_failed;
}

static cfg_result find(lookup *lk, source *src, const char *section, const char *option,
                       char *out, std::size_t out_size, const cfg_builtin_tuning *tuning)
{
    if (!section || !option || !out || out_size == 0 ||
        run_lookup(lk, src, section, option, nullptr, tuning) != pass_result::ok)
        return cfg_result::load_failed;
    // the walk over the sections of that name, in file order
    return answer(lk, src, &lk->slot[lk->slot[0].state == slot_state::string ? 0 : 1], out,
                  out_size);
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

static void find_many(source *src, cfg_query *queries, std::size_t count,
                      const cfg_builtin_tuning *tuning)
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
            q->result = r != pass_result::ok ? cfg_result::load_failed
                                             : answer(&lk, src, &bt.slot[k], q->out, q->out_size);
        else // the lookup's room reused
            q->result = find(&lk, src, q->section, q->option, q->out, q->out_size, tuning);
    }
}

static void report(const source *src, cfg_builtin_tuning *tuning)
{
    if (tuning) {
        tuning->passes = src->passes;
        tuning->undecided = src->undecided;
    }
}

cfg_result cfg_builtin_find_bytes(const unsigned char *data, std::size_t size, const char *section,
                                  const char *option, char *out, std::size_t out_size,
                                  cfg_builtin_tuning *tuning)
{
    if (!data && size > 0)
        return cfg_result::load_failed;
    static const unsigned char empty = 0;
    lookup lk;
    source src{-1, data ? data : &empty, size, 0, false};
    cfg_result result = find(&lk, &src, section, option, out, out_size, tuning);
    report(&src, tuning);
    return result;
}

void cfg_builtin_find_bytes_many(const unsigned char *data, std::size_t size, cfg_query *queries,
                                 std::size_t count, cfg_builtin_tuning *tuning)
{
    static const unsigned char empty = 0;
    source src{-1, data ? data : &empty, size, 0, false};
    if (!queries)
        return;
    if (!data && size > 0) {
        for (std::size_t i = 0; i < count; i++)
            queries[i].result = cfg_result::load_failed;
        return;
    }
    find_many(&src, queries, count, tuning);
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
        if (CLASSES.of[static_cast<unsigned char>(*q)] & NOT_TYPE)
            return -1;

    // stat before open, as libuci does, so that no device or FIFO is opened
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;

    int rc;
    do {
        rc = flock(fd, LOCK_SH);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != ENOSYS)
        goto out_close;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        goto out_close;
    return fd;
out_close:
    close(fd);
    return -1;
}

cfg_result cfg_builtin_find_path(const char *path, const char *section, const char *option,
                                 char *out, std::size_t out_size, cfg_builtin_tuning *tuning)
{
    int fd = open_config(path);
    if (fd < 0)
        return cfg_result::load_failed;
    lookup lk;
    source src{fd, nullptr, 0, 0, false};
    cfg_result result = find(&lk, &src, section, option, out, out_size, tuning);
    report(&src, tuning);
    close(fd); // also drops the lock
    return result;
}

void cfg_builtin_find_path_many(const char *path, cfg_query *queries, std::size_t count,
                                cfg_builtin_tuning *tuning)
{
    if (!queries || count == 0)
        return;
    int fd = open_config(path);
    if (fd < 0) {
        for (std::size_t i = 0; i < count; i++)
            queries[i].result = cfg_result::load_failed;
        return;
    }
    source src{fd, nullptr, 0, 0, false};
    find_many(&src, queries, count, tuning);
    report(&src, tuning);
    close(fd); // also drops the lock
}
