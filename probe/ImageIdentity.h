#pragma once

#include <QByteArray>
#include <QString>

class ImageBytes;

#include <any>
#include <memory>
#include <optional>

// Where the marks that identify a firmware image were found (byte offsets), or nothing.
struct ImageMarks {
    std::optional<qsizetype> imageMagic;  // generation 3: the header's marker, at offset 0
    // Generation 2: each the occurrence with the highest offset, as the loader takes it.
    std::optional<qsizetype> serialMarker;
    struct SerialField {
        qsizetype offset = 0;  // of the first character
        int length = 0;        // in characters
        QString text;          // what the field holds now
    };
    std::optional<SerialField> serialField;
    std::optional<qsizetype> deviceDescriptorPattern;
    std::optional<qsizetype> makerName;
    std::optional<qsizetype> versionRecord;
};

// What an image file is, told from its bytes alone, by the probe generation whose image
// it is (each generation's engine examines the bytes; see engines/ProbeEngines.h). A file
// that no generation recognises has no generation and says why in `problem`.
struct ImageIdentity {
    QString path;
    QByteArray bytes;  // the whole file, as read once
    // Where `bytes` live when they are a view of memory shared with the processes that
    // install the image (null when the identity owns them); keeps them valid.
    std::shared_ptr<const ImageBytes> storage;
    quint32 crc = 0;  // CRC-32/BZIP2 of the whole file, as the generation-3 loader checks
    QString sha256;   // SHA-256 of the whole file, in lower-case hexadecimal: the image's name in
                      // records
    std::optional<int> generation;

    // What the image says of itself, where it says it: "1.4 - demo build" (generation 3,
    // from its header), "2.12" (generation 2, from its version record), or nothing.
    QString versionText;
    std::optional<quint16> versionMajor;
    std::optional<quint16> versionMinor;
    QString description;                     // generation 3: the header's description
    std::optional<quint16> variantFlags;     // generation 2: the version record's variant
    std::optional<qint64> applicationBytes;  // generation 2: the bytes the download sends
    ImageMarks marks;

    // Why the file cannot be installed as it is (empty when it can): the message of the
    // same check the install makes.
    QString problem;
    // The generation's own reading of the image, which its engine installs (generation 2:
    // the image as loaded, head copy applied), when it could read it.
    std::any loaded;

    bool installable() const { return generation.has_value() && problem.isEmpty(); }
    qint64 size() const { return bytes.size(); }
};
