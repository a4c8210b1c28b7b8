#pragma once

#include <QStringList>

// Selects the process-wide USB backend from the environment. KVTOOL_EMULATE names the
// emulated devices (see EmulatorSetup), or "@FILE" for a control file that is re-read
// whenever it changes, so probes can be attached and detached while kvtool runs. Without
// it the Linux backend stays. KVTOOL_CLOCK=virtual (emulation only) makes every wait
// virtual, for fast scripted runs. KVTOOL_EMULATE_LOG=FILE appends every emulated
// device's frame log to FILE when the bus goes away at exit (FrameLogExport), so that
// tests can see what another process sent to its probes.
// Returns what is wrong with KVTOOL_EMULATE (one line per problem; the devices it does
// describe are installed all the same), or nothing.
QStringList installUsbBackendFromEnvironment();
