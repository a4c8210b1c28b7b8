#pragma once

#include "app/HException.h"
#include "gen3/KVFirmwareWidget.h"

#include <memory>
#include <string>

// A firmware page that records how the main window uses it and whose reads can be made
// to fail. The reads run on the window's worker: what they record is shared with it.
class TestPage : public KVFirmwareWidget {
public:
    using KVFirmwareWidget::KVFirmwareWidget;

    ProbeWorker::Reader firmwareReader() const override {
        return [state = state](const UsbDeviceInfo& device) {
            ++state->calls;
            state->lastDevice = device;
            if (!state->failure.empty()) {
                throw HException(state->failure);
            }
            return InstalledFirmware();
        };
    }
    void showInstalledFirmware(const UsbDeviceInfo&, const InstalledFirmware&) override {}

    struct State {
        int calls = 0;
        UsbDeviceInfo lastDevice;
        std::string failure;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    // Read by the test once the window is idle (the worker is done with them by then).
    int& calls = state->calls;
    UsbDeviceInfo& lastDevice = state->lastDevice;
    std::string& failure = state->failure;

protected:
    void showFirmwareNotRead() override {}
};
