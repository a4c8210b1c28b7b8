#pragma once

#include "probe/ImageIdentity.h"
#include "probe/InstalledFirmware.h"

#include <QJsonObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

struct CliOptions;

// The image file named `path`, read and examined (identifyImage); a file that cannot be
// read is a CliFailure with exit code 5.
ImageIdentity readImage(const QString& path);
// The same for an install on probes of `generation` (asked only when the file is refused):
// a file that cannot be opened, or is no probe's image, is refused in the words that
// generation's install uses, as the window's page says it ("Cannot open ...", "Cannot find
// serial number" for generation 2).
ImageIdentity readImageFor(const QString& path,
                           const std::function<std::optional<int>()>& generation);
// The file an install or watch takes: FILE, or the generation-2 image of --target and
// --clocking in the firmware folders (--firmware-dir first), named as the generation-2 page
// names it. For the
// latter the page's first step runs first, so that a missing or broken file fails with the
// page's message (CliFailure, exit code 5).
QString imagePathOf(const CliOptions& options);

// Why `image` is not the image of the variant that --target and --clocking chose, by its
// own version record: empty when it is, when no variant was chosen, when it has no record
// to tell, or when --force lets it through.
QString variantMismatch(const CliOptions& options, const ImageIdentity& image);

// The description of an image file that `kvtool-cli image` prints, as text lines and as the
// "image" object of the JSON output.
QStringList imageReportLines(const ImageIdentity& image);
// {"path", "size", "crc32", "sha256", "generation", "installable", "problem", "versionText",
//  "versionMajor", "versionMinor", "description", "variant", "target", "clocking",
//  "applicationBytes", "marks"}: every key always present, null where it does not apply.
QJsonObject imageJson(const ImageIdentity& image);
// "1.4 - demo build, 196608 bytes" and the like: the image in one line.
QString imageSummary(const ImageIdentity& image);
// What the image installs, in the words the probe's firmware is told in: "1.4 - demo
// build", "2.12, Birch, Variable Speed and Adaptive"; "the image" when it says nothing.
QString imageFirmwareText(const ImageIdentity& image);

// The image of the firmware folders that is newer than `firmware`, of its variant, or null
// (also when the folders hold two of that version that differ).
std::shared_ptr<const ImageIdentity> newerImageFor(const InstalledFirmware& firmware);
