#pragma once

#include "cli/GenerationInstall.h"

// A generation-3 install, as the generation-3 page runs it: the image read whole and
// checked, then Gen3Installer::installImage on an Ftd2xxDataLink (connect, erase, write and
// CRC-check in 8192-byte chunks from 0x2000, disconnect); afterwards the loader is asked
// again for what is installed, as the page's next poll does.
class Gen3Install : public GenerationInstall {
public:
    void check(const UsbDeviceInfo& probe, const ImageIdentity& image) const override;
    InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) const override;
    void run(const UsbDeviceInfo& probe, const ImageIdentity& image, ProgressRenderer& progress,
             const Message& message) override;
    InstalledFirmware readBack(const UsbDeviceInfo& probe, const Message& message) override;
};
