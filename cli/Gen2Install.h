#pragma once

#include "cli/GenerationInstall.h"

// A generation-2 install, as the generation-2 page runs it: KV2FirmwareImage::load of the
// file, then KorvaneBootloader::downloadApplication with the probe's serial number patched
// in (EnterBootloader, the wait for the bootloader, Program and Verify in 32-byte packets,
// EndDownload) and "Firmware installed.". Afterwards it waits, for at most
// RESTART_WAIT_MS on the project clock, for the probe to come back as its application and
// reads what it runs.
class Gen2Install : public GenerationInstall {
public:
    static constexpr int RESTART_WAIT_MS = 30000;
    static constexpr int RESTART_POLL_MS = 250;

    void check(const UsbDeviceInfo& probe, const ImageIdentity& image) const override;
    InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) const override;
    void run(const UsbDeviceInfo& probe, const ImageIdentity& image, ProgressRenderer& progress,
             const Message& message) override;
    InstalledFirmware readBack(const UsbDeviceInfo& probe, const Message& message) override;
};
