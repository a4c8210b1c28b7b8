#pragma once

#include "gen3/FirmwareImageHeader.h"
#include "gen3/LoaderInfo.h"

#include <QString>

#include <optional>

class HDataLink;

// Texts of the generation-3 page's two version labels, as rich text: the caption, then
// either the version text of a header or a marker in italics. The version text comes from
// a file or a probe, so it is escaped: it is shown as it is, never taken as markup.
constexpr char VERSION_CAPTION[] = "<b>Version: </b>";
constexpr char NOT_INSTALLED_TEXT[] = "<i>Not Installed</i>";
constexpr char INVALID_FILE_TEXT[] = "<i>Invalid File</i>";

// The installed image's version text, or NOT_INSTALLED_TEXT unless the loader reports an
// image (image state 1) whose header carries the image marker.
QString installedFirmwareText(const LoaderInfo& info);
// Asks the loader on `link` (no connect, the link's time-out unchanged) what is installed
// and describes it as installedFirmwareText does. Throws the link's or the command's
// HException.
QString queryInstalledFirmware(HDataLink& link);

// The header of the image file named `path` when its first 64 bytes can be read and carry
// the image marker; nothing otherwise. Never throws.
std::optional<FirmwareImageHeader> readValidImageHeader(const QString& path);
// The header's version text, or INVALID_FILE_TEXT for nothing.
QString imageFileText(const std::optional<FirmwareImageHeader>& header);
