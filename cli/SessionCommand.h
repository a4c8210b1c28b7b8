#pragma once

class Console;

// kvtool-cli's session mode (`kvtool-cli session`), in which a kvtool-cli that installs on
// several probes at once runs each probe's install session (see ChildSession): the request
// on standard input, the image as a memory file on descriptor 3, the session's events on
// standard output, the USB trace (when asked for) on standard error, and, when asked for,
// the session's --log record appended to the file on descriptor 4. It finishes the install
// it was given whatever becomes of the process that started it: hang-ups, terminations and
// a closed output do not end it, and its record is written all the same. Returns the exit
// status.
int runSessionCommand(Console& console);
