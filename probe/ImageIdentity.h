#pragma once

#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2VersionRecord.h"
#include "gen3/FirmwareImageHeader.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Where the marks that identify a firmware image were found (byte offsets), or nothing.
struct ImageMarks {
    std::optional<qsizetype> imageMagic;  // generation 3: the header's marker, at offset 0
    // Generation 2: each the occurrence with the highest offset, as the loader takes it.
    std::optional<qsizetype> serialMarker;
    std::optional<kv2::SerialField> serialField;
    std::optional<qsizetype> deviceDescriptorPattern;
    std::optional<qsizetype> makerName;
    std::optional<qsizetype> versionRecord;
};

// What an image file is, told from its bytes alone: a generation-3 image when its first
// 64 bytes are a header with the image marker; a generation-2 image when the serial-number
// marker, the device-descriptor pattern and the maker name are all found in it; otherwise
// none. A file with both a generation-3 header and the generation-2 marks counts as
// generation 3: its marker sits at a fixed place, theirs anywhere.
struct ImageIdentity {
    QString path;
    QByteArray bytes;  // the whole file
    quint32 crc = 0;   // CRC-32/BZIP2 of the whole file, as the generation-3 loader checks
    std::optional<int> generation;
    std::optional<FirmwareImageHeader> header;      // generation 3
    std::optional<KV2VersionRecord> versionRecord;  // generation 2, when the image has one
    QString serialFieldText;                        // generation 2: the field's content
    // Generation 2: the image as the download takes it (head copy applied), when it loads
    // and fits; the install works on these bytes, not on the file read again.
    std::optional<KV2FirmwareImage> generation2Image;
    ImageMarks marks;
    // Why the file cannot be installed as it is (empty when it can): the message of the
    // same check the install makes.
    QString problem;

    bool installable() const { return generation.has_value() && problem.isEmpty(); }
    qint64 size() const { return bytes.size(); }
    // "1.4 - demo build" (generation 3), "2.12" (generation 2 with a version record) or a
    // null text.
    QString versionText() const;
};

// Reads the file named `path` whole and examines it. Throws HException when the file cannot
// be read ("cannot open ...", "cannot read ...", "image too large: ...").
ImageIdentity identifyImage(const QString& path);
