// SPDX-License-Identifier: ISC
#pragma once
// One lookup in a UCI configuration file, through whichever backend the
// build chose: the router's libuci or the built-in reader of the UCI syntax.
// Both give the same answer on the same file.

#include <cstddef>

enum class cfg_result {
    found,       // a string option of that name exists in a section of that name
    missing,     // the file loaded, but no such string option (a list counts as missing)
    load_failed, // no regular file there, unreadable, or a syntax error anywhere in it
};

// Loads the UCI file at `path` (an absolute path), walks its sections in file
// order and looks up `option` in each section whose name is exactly `section`.
// On found: clears all `out_size` bytes of `out` and copies the value into it,
// cut to out_size - 1 bytes and always NUL-terminated. Otherwise `out` is left
// untouched. `option` may point into `out`: it is read before `out` is written.
// out_size must be at least 1.
[[nodiscard]] cfg_result cfg_find_option(const char *path, const char *section, const char *option, char *out,
                                         std::size_t out_size);

// One lookup of a batch: in, the section, the option and the output buffer
// as for cfg_find_option; out, the result.
struct cfg_query {
    const char *section;
    const char *option; // may point into `out`
    char *out;
    std::size_t out_size;
    cfg_result result;
};

// Answers `count` lookups in the file at `path`, each with exactly the result
// and the output that cfg_find_option would give it. Through libuci every
// lookup loads the file afresh, call for call; the built-in reader answers
// them all from one reading, which is cheaper and sees one state of a file
// that changes meanwhile. A query's option may point into its own output.
void cfg_find_options(const char *path, cfg_query *queries, std::size_t count);

// "libuci" or "builtin", for diagnostics and tests.
const char *cfg_backend_name();

// A bound on the time lookups wait for a lock that another process holds on
// the file (both backends take a shared flock and would wait without
// limit). From cfg_lock_deadline_start on, a timer signal interrupts a
// blocked flock after `ms` milliseconds in all, however many lookups there
// are; the lookup under way then fails with load_failed, and so does every
// later one, at once, until cfg_lock_deadline_stop.
void cfg_lock_deadline_start(unsigned ms);
void cfg_lock_deadline_stop();
// True once the time ran out.
[[nodiscard]] bool cfg_lock_wait_expired();
