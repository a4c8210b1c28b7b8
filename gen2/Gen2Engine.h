#pragma once

#include "gen2/KorvaneBootloader.h"
#include "probe/ProbeEngine.h"

// The generation-2 probe: reads what its firmware answers to ReadInfo, and installs an
// image through the bootloader download on the probe it is given, following that probe
// by its physical port through its restarts (so other probes may be attached), then waits
// for it to come back as its new application.
class Gen2Engine : public ProbeEngine {
    Q_OBJECT

public:
    // How long the probe may take to come back as its application after a download, and
    // how often it is looked for meanwhile (sooner where the kernel tells of devices
    // coming and going).
    static constexpr int RESTART_WAIT_MS = 30000;
    static constexpr int RESTART_POLL_MS = 250;

    // How the install finds its probe before the restart and in the wait for its bootloader:
    // by the physical port of the probe it was given (other probes may be attached), or as
    // the one generation-2 device attached (the window's page, which refuses a second).
    enum class Follow { Port, OnlyProbe };

    explicit Gen2Engine(QObject* parent = nullptr) : Gen2Engine(Follow::Port, parent) {}
    explicit Gen2Engine(Follow follow, QObject* parent = nullptr);

    // Whether `image` holds a generation-2 image (its serial-number marker, device
    // descriptor and maker name are all found): then fills in what it says of itself, the
    // image as the download loads it, and what the download would refuse in it. Otherwise
    // returns false and says which marks are missing in `notMine`.
    static bool examine(ImageIdentity& image, QString& notMine);
    // The largest image a generation-2 probe takes.
    static qint64 largestImage();

    int generation() const override { return 2; }

    // ReadInfo on a link of its own, after the link dropped what an earlier read left.
    InstalledFirmware readInstalled(const UsbDeviceInfo& probe) override;
    // What the download would refuse only after restarting the probe into its bootloader
    // (an image that does not load or fit, a serial number that does not fit the image's
    // field) is refused now, so that a wrong file never leaves the probe there.
    void check(const UsbDeviceInfo& probe, const ImageIdentity& image) override;
    // The bootloader download of the image as identified, with the probe's serial number.
    InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) override;
    // Waits, at most RESTART_WAIT_MS on the project clock, for the probe to be back on its
    // port as its application, and reads it.
    InstalledFirmware awaitReturn(const UsbDeviceInfo& probe) override;
    bool restartsAfterInstall() const override { return true; }
    // The same version and variant as the image's version record.
    bool runs(const InstalledFirmware& firmware, const ImageIdentity& image) const override;
    // The first mark the image load misses: "Cannot find serial number", "Cannot find
    // PID" or "Bad firmware file".
    QString refusal(const ImageIdentity& image) const override;
    // "Cannot open " and the path.
    QString cannotOpen(const QString& path) const override;

private:
    KorvaneBootloader bootloader;
    Follow follow;
};
