// SPDX-License-Identifier: ISC
// Fuzzes the built-in UCI reader on whole files (in memory). Each input is
// looked up three ways, and the answers must agree:
//   - a 64-byte settings slot, the reader's own capacities (one pass while
//     the file has few sections);
//   - a slot of random size, with tiny section table and arena capacities,
//     which sends any file with a few sections down the multi-pass path;
//   - a 4096-byte slot, which reads a long value again straight into it.
// Every slot is a buffer of exactly its size, prefilled with a canary: a
// value must be NUL-terminated within it and the rest cleared; a lookup
// that finds nothing must leave it untouched.
// Then the same lookups and a few fixed ones go in one batch, with either
// set of capacities: each must get exactly the result and slot bytes it
// gets alone.
//
// Input (FuzzedDataProvider: integers from the end, the rest from the front):
// the file, then from the end the section, the option, the small slot's size,
// the section table's and the arena's capacities.

#include "tests/fuzz/fuzz_support.h"
#include "uci/builtin_reader.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

static constexpr unsigned char CANARY = 0xa5;

namespace {

struct answer {
    cfg_result result;
    std::string value; // found: the slot's text
};

} // namespace

static const char *const SECTIONS[] = {"general", "radio", "cfg01a2b3", ""};
static const char *const OPTIONS[] = {"server", "port", "gateway_id", "pfwd_debug", "SF", "rx_frequency"};

static answer look_up(const std::vector<unsigned char> &file, const std::string &section, const std::string &option,
                      std::size_t slot_size, cfg_builtin_tuning *tuning)
{
    std::unique_ptr<char[]> slot(new char[slot_size]);
    std::memset(slot.get(), CANARY, slot_size);
    const unsigned char *bytes = file.empty() ? nullptr : file.data();
    cfg_result r =
        cfg_builtin_find_bytes(bytes, file.size(), section.c_str(), option.c_str(), slot.get(), slot_size, tuning);
    answer a{r, {}};
    if (r != cfg_result::found) {
        for (std::size_t i = 0; i < slot_size; ++i)
            FUZZ_CHECK(static_cast<unsigned char>(slot[i]) == CANARY);
        return a;
    }
    const char *end = static_cast<const char *>(std::memchr(slot.get(), '\0', slot_size));
    FUZZ_CHECK(end != nullptr);
    a.value.assign(slot.get(), static_cast<std::size_t>(end - slot.get()));
    FUZZ_CHECK(slot_size == 1 || !a.value.empty()); // an empty value is no option at all
    for (const char *p = end; p < slot.get() + slot_size; ++p)
        FUZZ_CHECK(*p == '\0');
    return a;
}

static std::string pick_name(FuzzedDataProvider &fdp, const char *const *names, std::size_t count)
{
    std::size_t i = fdp.ConsumeIntegralInRange<std::size_t>(0, count);
    if (i < count)
        return names[i];
    std::string s = fdp.ConsumeRandomLengthString(12);
    return s.substr(0, s.find('\0'));
}

static void check_batch(const std::vector<unsigned char> &file, const std::string &section, const std::string &option,
                        std::size_t small_slot, const cfg_builtin_tuning *caps)
{
    struct lookup {
        const char *section;
        const char *option;
        std::size_t size;
    } const lookups[] = {
        {section.c_str(), option.c_str(), 64},
        {section.c_str(), option.c_str(), small_slot},
        {section.c_str(), option.c_str(), 4096},
        {"general", "server", 64},
        {"radio", "SF", 64},
        {"cfg01a2b3", "port", 64},
    };
    constexpr std::size_t N = std::size(lookups);
    const unsigned char *bytes = file.empty() ? nullptr : file.data();
    std::unique_ptr<char[]> slots[N];
    cfg_query queries[N];
    for (std::size_t i = 0; i < N; ++i) {
        const lookup &l = lookups[i];
        slots[i].reset(new char[l.size]);
        std::memset(slots[i].get(), CANARY, l.size);
        queries[i] = {l.section, l.option, slots[i].get(), l.size, cfg_result::load_failed};
    }
    // the first query names its option by its own slot, as the forwarder does
    if (option.size() < 64) {
        std::memcpy(slots[0].get(), option.c_str(), option.size() + 1);
        queries[0].option = slots[0].get();
    }
    cfg_builtin_tuning tuning = caps ? *caps : cfg_builtin_tuning{};
    cfg_builtin_find_bytes_many(bytes, file.size(), queries, N, &tuning);

    for (std::size_t i = 0; i < N; ++i) {
        const lookup &l = lookups[i];
        std::unique_ptr<char[]> alone(new char[l.size]);
        std::memset(alone.get(), CANARY, l.size);
        const char *name = l.option;
        if (i == 0 && option.size() < 64) {
            std::memcpy(alone.get(), option.c_str(), option.size() + 1);
            name = alone.get();
        }
        tuning = caps ? *caps : cfg_builtin_tuning{};
        cfg_result r = cfg_builtin_find_bytes(bytes, file.size(), l.section, name, alone.get(), l.size, &tuning);
        FUZZ_CHECK(r == queries[i].result);
        FUZZ_CHECK(std::memcmp(alone.get(), slots[i].get(), l.size) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string section = pick_name(fdp, SECTIONS, std::size(SECTIONS));
    const std::string option = pick_name(fdp, OPTIONS, std::size(OPTIONS));
    const std::size_t small_slot = fdp.ConsumeIntegralInRange<std::size_t>(1, 80);
    cfg_builtin_tuning tiny{};
    tiny.max_sections = fdp.ConsumeIntegralInRange<std::size_t>(1, 6);
    tiny.arena_bytes = fdp.ConsumeIntegralInRange<std::size_t>(1, 400);
    const std::vector<unsigned char> file = fdp.ConsumeRemainingBytes<unsigned char>();

    answer plain = look_up(file, section, option, 64, nullptr);
    answer multi = look_up(file, section, option, small_slot, &tiny);
    answer wide = look_up(file, section, option, 4096, nullptr);
    check_batch(file, section, option, small_slot, nullptr);
    check_batch(file, section, option, small_slot, &tiny);

    FUZZ_CHECK(wide.result == plain.result);
    if (plain.result == cfg_result::found) {
        FUZZ_CHECK(plain.value == wide.value.substr(0, 63));
        FUZZ_CHECK(wide.value.size() <= file.size());
    }
    // With too little room to decide, the reader may only give up.
    if (tiny.undecided) {
        FUZZ_CHECK(multi.result == cfg_result::load_failed);
    } else {
        FUZZ_CHECK(multi.result == plain.result);
        if (plain.result == cfg_result::found && small_slot > 1)
            FUZZ_CHECK(multi.value == wide.value.substr(0, small_slot - 1));
    }
    return 0;
}
