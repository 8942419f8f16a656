// SPDX-License-Identifier: ISC
// The built-in UCI reader's byte-level syntax: libuci's fgets loop replayed
// over a file descriptor or a memory block, the tokens, and libuci's
// uci_parse_line and the argument parser under it, step by step. The
// commands it finds go to the package model (builtin_package.cpp).

#include "uci/builtin_internal.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace builtin_reader {

/* ---- the line reader ---- */

// libuci reads a line with repeated fgets calls into one buffer that starts
// at 32 bytes and doubles each time a call ends without a newline (it never
// shrinks). It measures each call's result with strlen, so a NUL byte drops
// the rest of what that call read. A line ends when a call ends with '\n' or
// brings nothing (end of file, or a NUL as its first byte). The reader
// produces the same line content byte by byte without holding the line: it
// only tracks the buffer size, the line length and what the current fgets
// call may still read.

namespace {
// Where the bytes come from, and libuci's fgets loop over them. Zero is the
// state before the first line; only the source is set.
struct line_reader {
    int fd;
    const unsigned char *data; // memory source, or nullptr for fd
    std::size_t data_size;
    unsigned char *chunk;      // READ_CHUNK bytes for reads from fd
    std::uint64_t next_offset; // source offset of the next refill
    const unsigned char *raw;
    std::size_t raw_len;
    std::size_t raw_pos;
    bool eof;            // sticky, as stdio's end-of-file flag
    bool failed;         // read error, or line buffer past the limit
    std::uint64_t bufsz; // libuci's line buffer size; 0 before the first line
    std::uint64_t ofs;   // content bytes in the line buffer
    std::uint64_t cap;   // bytes the current fgets call may still read
    bool call_read;      // the current fgets call has read something
    bool line_open;      // the current line (one getln) goes on
};
} // namespace

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
        ssize_t n = pread(r->fd, r->chunk, READ_CHUNK, static_cast<off_t>(r->next_offset));
        if (n > 0) {
            r->raw = r->chunk;
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

static int raw_next(line_reader *r)
{
    if (r->raw_pos == r->raw_len && !refill(r))
        return -1;
    return r->raw[r->raw_pos++];
}

static void start_call(line_reader *r)
{
    r->cap = r->bufsz - r->ofs - 1;
    r->call_read = false;
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

// Consumes n bytes that the current fgets call reads as line content.
static void take(line_reader *r, std::size_t n)
{
    r->raw_pos += n;
    r->cap -= n;
    r->ofs += n;
    r->call_read = true;
}

// Next byte of the current line's content, or 0 where it ends.
static int line_byte(line_reader *r)
{
    if (!r->line_open)
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
            if (!r->call_read || r->failed) {
                r->line_open = false;
                return 0;
            }
            grow(r);
            start_call(r);
            continue;
        }
        r->cap--;
        if (b == 0) {
            bool empty = !r->call_read;
            skip_call_rest(r);
            if (empty || r->failed) {
                r->line_open = false;
                return 0;
            }
            grow(r);
            start_call(r);
            continue;
        }
        r->call_read = true;
        r->ofs++;
        if (b == '\n')
            r->line_open = false;
        return b;
    }
}

// The rest of the current line, unread.
static void line_skip_rest(line_reader *r)
{
    while (r->line_open) {
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
        line_byte(r);
    }
}

// libuci's uci_getln(ctx, offset): a new line appended at `offset`.
static void line_start(line_reader *r, std::uint64_t offset)
{
    if (r->bufsz == 0)
        r->bufsz = FIRST_LINE_BUFFER;
    if (offset >= r->bufsz - 1)
        grow(r);
    r->ofs = offset;
    r->line_open = true;
    start_call(r);
}

/* ---- bytes ---- */

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

constexpr class_table CLASSES = make_classes();

// isspace() in the C locale, which libuci runs in.
static bool is_space(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* ---- tokens ---- */

static void tok_init(token *t, char *keep, std::size_t keep_cap, const char *match, std::size_t match_len, bool hashing,
                     bool classifying)
{
    *t = token{0, FNV_OFFSET, 5381, 0, hashing, classifying, match != nullptr, keep, keep_cap, match, match_len};
}

static void tok_add(token *t, int c)
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
        t->bad |= CLASSES.of[static_cast<std::size_t>(c)];
    t->len++;
}

bool tok_equals_match(const token *t)
{
    return t->matches && t->len == t->match_len;
}

std::size_t tok_kept(const token *t)
{
    return t->len < t->keep_cap ? static_cast<std::size_t>(t->len) : t->keep_cap;
}

/* ---- libuci's parser, over the stream ---- */

namespace {
struct parser {
    line_reader rd;
    int c;  // current content byte, 0 where the line's content ends
    int la; // byte after c when already fetched, else -1
    lookup *lk;
};
} // namespace

static void adv(parser *p)
{
    if (p->la >= 0) {
        p->c = p->la;
        p->la = -1;
        return;
    }
    // the common case: an ordinary byte already in the read buffer
    line_reader *r = &p->rd;
    if (r->line_open && r->cap > 0 && r->raw_pos < r->raw_len) {
        int b = r->raw[r->raw_pos];
        if (b != 0 && b != '\n') {
            take(r, 1);
            p->c = b;
            return;
        }
    }
    p->c = line_byte(r);
}

static int peek1(parser *p)
{
    if (p->la < 0)
        p->la = line_byte(&p->rd);
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
    line_start(&p->rd, pos);
    p->la = -1;
    p->c = line_byte(&p->rd);
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
        return !required;          // insufficient arguments
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
    tok_init(&name, name_keep, sizeof(name_keep), option_looking(lk) ? lk->q.section : nullptr, lk->q.section_len, true,
             true);
    if (!next_arg(p, &name, false, NOT_NAME) || !assert_eol(p))
        return false;
    return on_config(lk, &type, &name);
}

static bool parse_option(parser *p, bool list)
{
    lookup *lk = p->lk;
    char name_keep[CFG_BUILTIN_TOKEN_KEEP];
    token name;
    token value;
    // the caller's option name may share memory with its output slot: it is
    // only read in lookup passes, which never write there
    tok_init(&name, name_keep, sizeof(name_keep), option_looking(lk) ? lk->q.option : nullptr, lk->q.option_len, false,
             true);
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

// 'c', 'o', 'l' or 'p' for a command word, in full or by its first letter; 0 for others.
static char keyword(const char *w, std::size_t len)
{
    static const char *const WORDS[] = {"config", "option", "list", "package"};
    for (const char *k : WORDS)
        if (w[0] == k[0] && (len == 1 || (len == std::strlen(k) && std::memcmp(w, k, len) == 0)))
            return w[0];
    return 0;
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
        if ((kw == 'o' || kw == 'l') && !p->lk->ps.in_section)
            return false; // option/list before the first section
        if (!delimited)
            return false; // keyword with nothing after it
        adv(p);           // the space or tab strtok replaced with NUL
        bool ok = kw == 'p' ? parse_package(p) : kw == 'c' ? parse_config(p) : parse_option(p, kw == 'l');
        if (!ok)
            return false;
    }
}

pass_result read_pass(lookup *lk, const source *src)
{
    // the read chunk needs no clearing
    unsigned char chunk[READ_CHUNK];
    parser p = {};
    p.rd.fd = src->fd;
    p.rd.data = src->data;
    p.rd.data_size = src->size;
    p.rd.chunk = chunk;
    p.lk = lk;
    while (!p.rd.eof) {
        line_start(&p.rd, 0);
        p.la = -1; // (also before the first line)
        p.c = line_byte(&p.rd);
        if (p.c != 0 && !parse_line(&p))
            return lk->ps.table_full ? pass_result::overflow : pass_result::load_failed;
        line_skip_rest(&p.rd);
        if (p.rd.failed)
            break;
    }
    return p.rd.failed ? pass_result::load_failed : pass_result::ok;
}

} // namespace builtin_reader
