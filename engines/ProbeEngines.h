#pragma once

#include "device/UsbDeviceInfo.h"
#include "gen2/KV2Variant.h"
#include "probe/ImageIdentity.h"
#include "probe/InstalledFirmware.h"
#include "probe/ProbeEngine.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// The probe generations this program knows: the engine that serves a probe, and which
// generation an image file is for. The one place that names every generation; the
// install session and the front ends work with what it returns.

// The engine of a probe generation (2 or 3); null for none we know.
std::unique_ptr<ProbeEngine> engineForGeneration(std::optional<int> generation);
// The engine for `probe`, by its product id; null for a product id of no generation.
std::unique_ptr<ProbeEngine> engineForProbe(const UsbDeviceInfo& probe);

// The largest image any probe holds: a larger file is refused before it is read whole.
qint64 largestProbeImage();

// Reads the file named `path` once (refusing it before it is read when it is larger than
// any probe holds) and examines it. Throws HException when the file cannot be read
// ("cannot open ...", "cannot read ...", "image too large: ...").
ImageIdentity identifyImage(const QString& path);
// Examines `bytes`, the content of the file named `path` as read; `storage`, when given,
// keeps them valid (they may be a view of memory the identity does not own).
ImageIdentity identifyImageBytes(const QString& path, const QByteArray& bytes,
                                 std::shared_ptr<const ImageBytes> storage = nullptr);

// The variant of an image, or of what a probe runs, as a name the two are compared by:
// empty for generation 3 (whose images come in one variant), "Alder, Maximum Speed" and
// the like for generation 2. Nothing where it cannot be told: a generation-2 image without
// a version record, a probe that runs no application firmware.
std::optional<QString> variantOf(const ImageIdentity& image);
std::optional<QString> variantOf(const InstalledFirmware& firmware);
// The variant of a generation-2 target family and clocking.
QString generation2Variant(kv2::TargetFamily family, kv2::JtagClocking clocking);
