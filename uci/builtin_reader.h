// SPDX-License-Identifier: ISC
#pragma once
// The project's own reader of UCI configuration files. It answers a lookup
// exactly as libuci does when it loads a file by its absolute path (same
// value, same "missing", same load failure), without heap allocation and in
// bounded stack (under 6.5 KiB on x86_64 for a batch of lookups, under 5 KiB
// for one).
//
// Structure: a line reader that replays libuci's fgets loop over a byte
// source (file descriptor or memory block; a 32-byte line buffer doubling as
// it goes, so NUL bytes cut lines where libuci cuts them); a tokenizer that
// follows libuci's parser step by step; and a small model of the package
// (section names and types, anonymous sections' generated names, the
// looked-up option).
//
// One pass over the input answers a lookup unless the file has more sections
// than the table holds (CFG_BUILTIN_MAX_SECTIONS, or CFG_BUILTIN_ARENA_BYTES
// of names and types). Then further passes, each remembering a hash share of
// the section names, check every section for a change of type; and where an
// anonymous section's generated name (cfgNNHHHH) can matter, passes count
// the sections before it to work out its name.
//
// uci/builtin_internal.h maps the reader's files.

#include <cstddef>

#include "uci/uci_reader.h"

// Bytes of the looked-up value held while parsing. Values longer than this
// are still read in full; a caller with a larger slot gets them through a
// second pass.
inline constexpr std::size_t CFG_BUILTIN_VALUE_KEEP = 64;
// Bytes of a section name or type compared byte by byte. Longer names and
// types are compared by length, these first bytes and a 64-bit hash.
inline constexpr std::size_t CFG_BUILTIN_TOKEN_KEEP = 128;
// Sections, and bytes of their names and types, remembered in one pass.
inline constexpr std::size_t CFG_BUILTIN_MAX_SECTIONS = 24;
inline constexpr std::size_t CFG_BUILTIN_ARENA_BYTES = 768;
// libuci grows its line buffer by doubling and fails the load when that
// allocation fails; the built-in reader fails where the buffer would pass
// this size (only files with enormous lines, or very many NUL-joined lines,
// get there).
inline constexpr unsigned long long CFG_BUILTIN_LINE_BUFFER_LIMIT = 1ull << 32;

// Knobs for tests and fuzzing, and what the reader did. Zero capacities mean
// the built-in ones; smaller ones (clamped to a workable minimum) make small
// inputs take the multi-pass path.
struct cfg_builtin_tuning {
    std::size_t max_sections;
    std::size_t arena_bytes;
    // Filled in by the reader:
    unsigned passes; // passes over the input
    bool undecided;  // load_failed was returned because the answer needed
                     // more state than the reader keeps: only in a file
                     // bigger than the table with more than 8 named
                     // sections re-opening anonymous ones by their generated
                     // names, or with section names whose 64-bit hashes
                     // collide beyond any partition
};

// The lookup of cfg_find_option over an in-memory file (no path checks).
// Same contract for `out` as cfg_find_option.
[[nodiscard]] cfg_result cfg_builtin_find_bytes(const unsigned char *data, std::size_t size, const char *section,
                                                const char *option, char *out, std::size_t out_size,
                                                cfg_builtin_tuning *tuning = nullptr);

// The lookup of cfg_find_option on the file at `path`, with libuci's checks:
// the last path component must be a valid package name (bytes 33 to 126,
// non-empty), the path a regular file; the file is read under a shared
// flock. Only paths starting with "/" or "./" are read; libuci resolves other
// names against its configuration folders and delta files, which this reader
// does not emulate: they give load_failed.
[[nodiscard]] cfg_result cfg_builtin_find_path(const char *path, const char *section, const char *option, char *out,
                                               std::size_t out_size, cfg_builtin_tuning *tuning = nullptr);

// Lookups answered together from one pass over the input. Beyond these,
// queries are answered one by one.
inline constexpr std::size_t CFG_BUILTIN_BATCH_MAX = 16;

// Several lookups of the file at `path` (see cfg_find_options): the same
// checks, made once, and for each query the result and output that
// cfg_builtin_find_path gives it. The passes of one lookup answer them all
// (one pass unless the file is bigger than the table; a value longer than
// CFG_BUILTIN_VALUE_KEEP for a larger slot is read again). Queries they
// cannot settle are looked up alone on the same open file: one naming a
// section in the form of a generated name (cfgNNHHHH), a section or option
// name longer than CFG_BUILTIN_TOKEN_KEEP, and the queries after the first
// CFG_BUILTIN_BATCH_MAX. No output is written before those passes are over,
// and a query's section and option are read before its own output is
// written; they must not lie in another query's output. `tuning` applies to
// every pass and sums them up.
void cfg_builtin_find_path_many(const char *path, cfg_query *queries, std::size_t count,
                                cfg_builtin_tuning *tuning = nullptr);

// The same over an in-memory file (no path checks).
void cfg_builtin_find_bytes_many(const unsigned char *data, std::size_t size, cfg_query *queries, std::size_t count,
                                 cfg_builtin_tuning *tuning = nullptr);
