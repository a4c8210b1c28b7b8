#pragma once

#include "device/UsbDeviceInfo.h"

#include <QWidget>

// Base of the firmware pages that the main window stacks, one per probe generation.
class KVFirmwareWidget : public QWidget {
    Q_OBJECT

public:
    explicit KVFirmwareWidget(QWidget* parent = nullptr);

    // Reads what is installed on `device` and shows it on the page. May throw HException.
    virtual void showInstalledFirmware(const UsbDeviceInfo& device) = 0;

Q_SIGNALS:
    // A task starts with (0, total, description, units), moves with (position, -1, null,
    // null) and ends when step equals the total.
    void progress(int step, int steps, const char* taskdesc, const char* units);

protected:
    // Suspends or resumes the main window's polling around an install. A page may live
    // without a window (as in some tests); then there is nothing to suspend.
    static void setPollingEnabled(bool enabled);
};
