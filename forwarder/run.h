// SPDX-License-Identifier: ISC
#pragma once
// The run sequence of tarnwick.

// The whole run: settings, resolution, gateway identifier, dispatch.
// Returns the exit status of a run that ends normally; a failure ends the
// process through fatal_exit.
int run_forwarder(int argc, char **argv);
