#pragma once

#include "app/HException.h"
#include "gen3/KVFirmwareWidget.h"

#include <string>

// A firmware page that records how the main window uses it and can be made to fail.
class TestPage : public KVFirmwareWidget {
public:
    using KVFirmwareWidget::KVFirmwareWidget;

    void showInstalledFirmware(const UsbDeviceInfo& device) override {
        ++calls;
        lastDevice = device;
        if (!failure.empty()) {
            throw HException(failure);
        }
    }

    int calls = 0;
    UsbDeviceInfo lastDevice;
    std::string failure;
};
