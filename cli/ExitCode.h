#pragma once

// The exit status of kvtool-cli, as documented in its --help, manual page and README.
enum class ExitCode {
    Done = 0,              // the command did what it was asked
    Failed = 1,            // the operation failed (the probe or the link reported a failure)
    Usage = 2,             // the command line is wrong
    NoProbe = 3,           // no probe attached, or no single probe to choose
    PermissionDenied = 4,  // this user may not open the probe's device node
    BadImage = 5           // the image file cannot be read or is not a fitting image
};

constexpr int exitStatus(ExitCode code) {
    return static_cast<int>(code);
}
