#pragma once

#include "emu/FrameLog.h"

#include <QString>

#include <memory>
#include <vector>

class EmulatedDevice;

// The frame logs of emulated devices as text, so that a test can see what the probes of
// another process (a command-line run under KVTOOL_EMULATE) received. One line per frame,
// fields separated by single spaces:
//
//   DEVICE SERIAL KIND OUTCOME TIME BYTES [SETUP]
//
//   DEVICE   1, 2, ... in the order the devices came onto the bus
//   SERIAL   the device's serial number when the log was written ("-" when empty)
//   KIND     bulk-in, bulk-out or control-out
//   OUTCOME  completed, timed-out, not-started or failed
//   TIME     project-clock milliseconds when the transfer ended
//   BYTES    the data in lower-case hexadecimal, "-" when none
//   SETUP    control frames only: bmRequestType.bRequest.wValue.wIndex in hexadecimal
QString frameLogLine(int device, const QString& serial, const UsbFrame& frame);

// Appends the lines of every device's log to `path` (creating it, also when there is no
// frame at all). False with `problem` set when the file cannot be written.
bool appendFrameLogs(const QString& path,
                     const std::vector<std::shared_ptr<EmulatedDevice>>& devices, QString& problem);
