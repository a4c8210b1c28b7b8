#pragma once

#include "InstallRig.h"

#include "gen2/ReplyPairing.h"

class Gen2Probe;
class KV2FirmwareWidget;
class QButtonGroup;

// A generation-2 probe running 1.5 (Birch, Variable Speed and Adaptive), and small images
// (a 512-byte application zone, 16 blocks) in the firmware directory: the install with a
// fault takes kv_alder_max.bin, the clean one kv_cedar_max.bin, so that the probe shows
// which one it runs.
class Gen2Rig : public InstallRig {
public:
    static constexpr const char* NAME = "Gen2";
    static constexpr int IMAGE_SIZE = 1024;

    Gen2Rig();
    ~Gen2Rig() override;

    // From the frame's place in the clean install: the packet it carries or answers, and
    // whether the wait for the bootloader was over.
    Outcome expected(int index, FrameFault fault) override;

protected:
    Probe makeProbe() override;
    Probe powerCycled() override;
    QPushButton* installButton() const override;
    void expectShown() override;
    void prepareInstall(bool clean) override;
    void expectSuccessShown() override;
    void expectNewFirmware() override;

private:
    Probe probeWith(std::unique_ptr<Gen2Probe> firmware);
    // Every install with the same pattern of known answers: the frames of the clean
    // install are those of every other up to its fault.
    ReplyPairing::ScopedSeeds seeds{[] { return quint64(20261208); }};
    Gen2Probe& firmware() const;
    QString labelText(const char* name) const;
    QButtonGroup* group(const char* name) const;

    KV2FirmwareWidget* page = nullptr;
};
