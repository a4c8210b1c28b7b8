#pragma once

#include "probe/ImageIdentity.h"

#include <QJsonObject>
#include <QStringList>

struct CliOptions;

// The image file named `path`, read and examined (identifyImage); a file that cannot be
// read is a CliFailure with exit code 5.
ImageIdentity readImage(const QString& path);
// The file an install or watch takes: FILE, or the generation-2 image of --target and
// --clocking in the firmware directory, named as the generation-2 page names it. For the
// latter the page's first step runs first, so that a missing or broken file fails with the
// page's message (CliFailure, exit code 5).
QString imagePathOf(const CliOptions& options);

// The description of an image file that `kvtool-cli image` prints, as text lines and as the
// "image" object of the JSON output.
QStringList imageReportLines(const ImageIdentity& image);
// {"path", "size", "crc32", "generation", "installable", "problem", "versionText",
//  "versionMajor", "versionMinor", "description", "variant", "target", "clocking",
//  "applicationBytes", "marks"}: every key always present, null where it does not apply.
QJsonObject imageJson(const ImageIdentity& image);
// "1.4 - demo build, 196608 bytes" and the like: the image in one line.
QString imageSummary(const ImageIdentity& image);
// What the image installs, in the words the probe's firmware is told in: "1.4 - demo
// build", "2.12, Birch, Variable Speed and Adaptive"; "the image" when it says nothing.
QString imageFirmwareText(const ImageIdentity& image);
