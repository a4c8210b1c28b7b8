#pragma once

#include "probe/ImageIdentity.h"
#include "probe/InstalledFirmware.h"

#include <QString>

#include <functional>
#include <memory>

// The image an update takes for one probe, chosen once the probe was read: the newest
// installable image of the probe's generation and variant among those at hand, and how
// it stands to what the probe runs.
struct UpdateChoice {
    enum class Relation {
        Newer,     // the probe runs this variant at an older version
        NotNewer,  // the probe runs this variant at this version or a newer one
        NoneRuns   // the probe runs nothing of this variant to compare with (an empty
                   // loader, a bootloader, another variant asked for)
    };

    // Null when no image fits; `problem` then says why (none, or two that differ).
    std::shared_ptr<const ImageIdentity> image;
    Relation relation = Relation::NoneRuns;
    QString problem;

    // Whether the probe is to get the image.
    bool needed() const { return image != nullptr && relation != Relation::NotNewer; }
};

// Chooses the image for a probe that reports `installed`.
using ImageChooser = std::function<UpdateChoice(const InstalledFirmware& installed)>;
