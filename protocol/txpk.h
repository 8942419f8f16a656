// SPDX-License-Identifier: ISC
#pragma once
// The transmit parameters of a downlink, read from the "txpk" object of a
// PULL_RESP by a small, bounded and tolerant JSON reader: unknown keys and
// nested values are skipped, numbers may come as strings and booleans as
// "true" / "false", and the last of two equal keys wins. It never reads
// past `length` bytes and never fails on any input; what it cannot read it
// leaves unset.

#include <cstddef>
#include <cstdint>

struct txpk_params {
    bool found;    // a "txpk" object at the top level
    bool imme;     // send at once (class C)
    bool has_tmst; // tmst, taken modulo 2^32
    std::uint32_t tmst;
    bool has_tmms; // GPS time, which this gateway does not have
    bool has_freq; // freq, MHz in the record, rounded to the nearest Hz here
    std::uint32_t freq_hz;
    bool has_powe; // powe, dBm
    int powe;
    bool has_modu;
    char modu[8];  // "LORA", "FSK", cut to 7 characters
    char datr[16]; // as received, e.g. "SF9BW125"; empty when absent
    char codr[8];  // as received; "4/5" when absent
    bool ipol;     // inverted IQ
    bool ncrc;     // no CRC
    unsigned sf;   // from datr: 7 to 12, or 0 when datr is no LoRa data rate
    unsigned bw;   // from datr, kHz
};

// Reads the txpk of the JSON `text` (`length` bytes, no NUL needed).
void read_txpk(const char *text, std::size_t length, txpk_params *out);

// True unless the txpk names a modulation other than LORA (FSK, which a
// LoRa radio cannot send). What it leaves out is told to the radio side as
// not given (0, or an empty text).
[[nodiscard]] bool txpk_is_lora(const txpk_params &t);
