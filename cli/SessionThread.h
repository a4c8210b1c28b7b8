#pragma once

#include "probe/SessionResult.h"

#include <functional>
#include <memory>

class Console;
class InstallSession;
class Interrupts;

// Runs an install session of this process to its end on a thread of its own, while this
// thread's event loop delivers the session's events and hears the signals of `interrupts`
// (which the caller keeps until it has written what the result calls for, so that a
// signal that comes after the install cannot end the process before that).
// The session is made on its thread by `make`, so that it, its engine and whatever the
// engine makes belong to that thread and talk to one another directly; `follow` connects
// its events there, each to a receiver of this thread, which gets them queued. A hang-up,
// a termination or a first Ctrl-C let the install run to its end, saying so on `console`,
// and the result is returned as if nothing had happened. A second Ctrl-C abandons it:
// `abandoned` is called with what the session last told of the probe, and the process ends
// at once with status 1, the session's thread still in its transfer, as the process of a
// child session is killed (the system closes the probe's device).
SessionResult runSessionThread(const std::function<std::unique_ptr<InstallSession>()>& make,
                               const std::function<void(InstallSession&)>& follow, Console& console,
                               Interrupts& interrupts,
                               const std::function<void(ProbeState)>& abandoned);
