#pragma once

class Console;

// kvtool-cli's session mode (`kvtool-cli session`), in which a kvtool-cli that installs on
// several probes at once runs each probe's install session (see ChildSession): the request
// on standard input, the image as a memory file on descriptor 3, the session's events on
// standard output, the USB trace (when asked for) on standard error. It finishes the
// install it was given whatever becomes of the process that started it: hang-ups,
// terminations and a closed output do not end it. Returns the exit status.
int runSessionCommand(Console& console);
