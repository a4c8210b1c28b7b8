#pragma once

#include <QString>

// Firmware images for the command-line tests, written into a directory.

// The size of a test's generation-3 image: two full chunks and a short one.
constexpr int GEN3_IMAGE_SIZE = 20000;

// A generation-3 image of `size` bytes with version `major`.`minor` and `description`.
QString writeGen3TestImage(const QString& directory, const QString& name,
                           int size = GEN3_IMAGE_SIZE, int major = 1, int minor = 4,
                           const QString& description = QStringLiteral("cli test"));
// The six generation-2 images kv_{alder,birch,cedar}_{max,var}.bin (version 2.12, one per
// variant, a serial field of 8 characters) in `directory`.
void writeGen2TestImages(const QString& directory);
// A generation-2 image with the marks, but `size` bytes and a serial field of
// `serialLength` characters.
QString writeGen2TestImage(const QString& directory, const QString& name, int size,
                           int serialLength = 8);
// A generation-2 image of version `major`.`minor` for the variant `flags` (kv2::flagsOf);
// `seed` changes its content, not what it says.
QString writeGen2VersionImage(const QString& directory, const QString& name, int major, int minor,
                              quint16 flags, quint32 seed = 1);
// A file of `bytes`.
QString writeFile(const QString& directory, const QString& name, const QByteArray& bytes);
