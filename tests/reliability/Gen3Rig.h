#pragma once

#include "InstallRig.h"

class Gen3Loader;
class KV3FirmwareWidget;
class QLabel;

// A generation-3 probe (its loader answering at once) with the factory image 1.3, and
// kv3.bin (2.10 - new, two full chunks and a short one) to install through the page.
class Gen3Rig : public InstallRig {
public:
    static constexpr const char* NAME = "Gen3";
    static constexpr int IMAGE_SIZE = 20000;

    Gen3Rig();

    // From the frame's place in the clean install: the command it belongs to (the last
    // command frame sent up to it) and its direction.
    Outcome expected(int index, FrameFault fault) override;

protected:
    Probe makeProbe() override;
    Probe powerCycled() override;
    QPushButton* installButton() const override;
    void expectShown() override;
    void prepareInstall(bool /*clean*/) override {}
    void expectSuccessShown() override;
    void expectNewFirmware() override;

private:
    // The outcome as the install's own command texts give it.
    Outcome installOutcome(int index, FrameFault fault);
    Probe probeWith(const QByteArray& memory);
    Gen3Loader& loader() const;
    QString installedText() const;

    KV3FirmwareWidget* page = nullptr;
};
