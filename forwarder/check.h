// SPDX-License-Identifier: ISC
#pragma once
// `tarnwick check`: the settings, a verdict on each, and a live probe of the
// network server, as plain text on standard output. Returns the exit
// status: 0 when every check passed, 1 otherwise.
int run_check(const char *prog);
