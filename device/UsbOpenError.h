#pragma once

#include "app/HException.h"

#include <QString>

// Why a device could not be opened, as a kind the callers branch on (the platform's own
// reasons stay below the seam, in UsbBackend::lastError()).
enum class OpenRefusal {
    None,
    Busy,    // another program holds the device
    Denied,  // this user may not open the device node (its permissions)
    Other    // any other failure to open
};

// A device that could not be opened. Its message is the system's own: "device already in
// use" when another program holds the device, "cannot open device driver" for any other
// reason; the kind of refusal travels with it for callers that tell them apart (a
// permission refusal has a fix of its own), so nobody compares messages for that.
class UsbOpenError : public HException {
public:
    // `deviceNode`: the file that stands for the device, where there is one (the usbfs
    // node), so that a caller can look for the program that holds a busy device.
    explicit UsbOpenError(OpenRefusal refusal, const QString& deviceNode = QString());
    OpenRefusal refusal() const { return kind; }
    QString deviceNode() const { return node; }

private:
    OpenRefusal kind;
    QString node;
};
