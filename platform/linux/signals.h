// The signals that end or stop the wrapper, and ending it by one as that
// signal's default action would. Every one of them must leave the job
// thawed: a job frozen for good looks like a hang. Linux code only.
#pragma once

#include <csignal>

namespace lull::platform {

// The signals whose default action ends the process, split by how the
// wrapper can hear them: `asynchronous` ones are blocked and read from a
// signalfd in the loop; `synchronous` ones (a fault of the wrapper's own
// instruction, abort()) cannot wait for the loop, and are caught by a handler
// that thaws and ends at once. SIGKILL is in neither: nothing catches it.
void ending_signals(sigset_t& asynchronous, sigset_t& synchronous);

// The signals whose default action stops the process (Ctrl-Z, a background
// job touching its terminal), SIGSTOP aside.
void stopping_signals(sigset_t& set);

// Gives the handler of `catch_ending` the descriptor to write "0" to before
// the signal ends the wrapper: the job leaf's open cgroup.freeze, or -1.
void thaw_on_ending(int freeze_descriptor);

// From now on `signal` thaws the job, then ends the wrapper by its default
// action.
void catch_ending(int signal);

// Restores `signal`'s default action, unblocks it and raises it, leaving no
// core file; returns only where the signal does not end the process.
void end_by_signal(int signal);

// Stops the wrapper by `signal` as its default action would; returns once
// the wrapper is continued, with `signal` blocked again.
void stop_by_signal(int signal);

}  // namespace lull::platform
