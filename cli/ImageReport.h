#pragma once

#include "probe/ImageIdentity.h"

#include <QJsonObject>
#include <QStringList>

// The image file named `path`, read and examined (identifyImage); a file that cannot be
// read is a CliFailure with exit code 5.
ImageIdentity readImage(const QString& path);

// The description of an image file that `kvtool-cli image` prints, as text lines and as the
// "image" object of the JSON output.
QStringList imageReportLines(const ImageIdentity& image);
// {"path", "size", "crc32", "generation", "installable", "problem", "versionText",
//  "versionMajor", "versionMinor", "description", "variant", "target", "clocking",
//  "applicationBytes", "marks"}: every key always present, null where it does not apply.
QJsonObject imageJson(const ImageIdentity& image);
// "1.4 - demo build, 196608 bytes" and the like: the image in one line.
QString imageSummary(const ImageIdentity& image);
