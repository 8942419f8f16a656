// SPDX-License-Identifier: ISC
#pragma once
// The run sequence of tarnwick and its single way out on a fatal failure.

// The whole run: settings, resolution, gateway identifier, dispatch.
// Returns the exit status of a run that ends normally.
int run_forwarder(int argc, char **argv);

// Ends the run after a failure that has already been logged: closes the
// system log, frees the server addresses and exits with status 1. `tag`
// names the failed step for a reader of the code; it is not printed.
[[noreturn]] void fatal_exit(const char *tag);
