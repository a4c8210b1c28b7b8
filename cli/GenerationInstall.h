#pragma once

#include "cli/InstallPlan.h"
#include "cli/InstalledFirmware.h"
#include "device/UsbDeviceInfo.h"

#include <QString>

#include <functional>
#include <memory>

struct ImageIdentity;
class ProgressRenderer;

// The part of an install that depends on the probe's generation. The command runs them in
// this order: check() before anything is sent to the probe, then either plan() (dry run)
// or run() followed by readBack().
class GenerationInstall {
public:
    using Message = std::function<void(const QString& text)>;

    virtual ~GenerationInstall();

    // Refuses what would fail later for a reason known now, before the probe is touched:
    // throws CliFailure (exit code 3 or 5).
    virtual void check(const UsbDeviceInfo& probe, const ImageIdentity& image) const = 0;
    virtual InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) const = 0;
    // The install itself, with the same sequence, messages and probe traffic as the
    // generation's firmware page; progress goes to `progress`, status texts to `message`.
    // Throws CliFailure with the system's message.
    virtual void run(const UsbDeviceInfo& probe, const ImageIdentity& image,
                     ProgressRenderer& progress, const Message& message) = 0;
    // What the probe reports after a successful install. Throws CliFailure.
    virtual InstalledFirmware readBack(const UsbDeviceInfo& probe, const Message& message) = 0;

    // The install for a probe of `generation` (2 or 3).
    static std::unique_ptr<GenerationInstall> forGeneration(int generation);
};
