#pragma once

#include "gen3/FirmwareImageHeader.h"
#include "probe/InstalledFirmware.h"

#include <QString>

#include <optional>

// Texts of the generation-3 page's two version labels, as rich text: the caption, then
// either the version text of a header or a marker in italics. The version text comes from
// a file or a probe, so it is escaped: it is shown as it is, never taken as markup.
constexpr char VERSION_CAPTION[] = "<b>Version: </b>";
constexpr char NOT_INSTALLED_TEXT[] = "<i>Not Installed</i>";
constexpr char INVALID_FILE_TEXT[] = "<i>Invalid File</i>";

// The installed image's version text, or NOT_INSTALLED_TEXT unless the loader reports an
// image (image state 1) whose header carries the image marker.
QString installedFirmwareText(const InstalledFirmware& firmware);
// The header's version text, or INVALID_FILE_TEXT for nothing.
QString imageFileText(const std::optional<FirmwareImageHeader>& header);
