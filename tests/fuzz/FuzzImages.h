#pragma once

// The images that the install and download targets send, made by the image generators of
// tools/. They are fixed for each choice, so that a session recorded against the emulated
// probe (a seed) matches byte for byte what the target sends when it replays it.
#include "gen2/KV2FirmwareImage.h"

#include <QByteArray>

// Generation 3: a header-only image, a chunk and one byte, two chunks and a part.
constexpr int GEN3_IMAGE_CHOICES = 3;
QByteArray gen3FuzzImage(int choice);

// Generation 2, loaded as the page loads it (without a serial number): a small image, the
// largest the download accepts, and one byte more.
constexpr int GEN2_IMAGE_CHOICES = 3;
const KV2FirmwareImage& gen2FuzzImage(int choice);
