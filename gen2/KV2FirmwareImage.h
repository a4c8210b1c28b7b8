#pragma once

#include "app/HPath.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A generation-2 firmware image in memory: the whole ".bin" file, checked for the marks
// of a generation-2 probe firmware, with its first bytes copied over the start of the
// application zone and, on request, the probe's serial number written into the image's
// serial-number field. A plain value kept as a local for one install; the file it came
// from is only ever read.
class KV2FirmwareImage {
public:
    // Files larger than this are refused without being read whole (real images are at
    // most a few kilobytes; the download accepts no more than 13311 bytes).
    static constexpr qint64 MAX_FILE_SIZE = qint64(1) << 20;

    // Reads the file named by the path's native form, finds the serial-number field,
    // checks for the device-descriptor pattern and the maker name, applies the head copy
    // and, when serialNumber is not empty, patches it in. Throws HException on every
    // failure and then leaves this object as it was.
    void load(const HPath& path, const QString& serialNumber);
    // The same on the bytes of a file already read.
    void loadBytes(const QByteArray& bytes, const QString& serialNumber);
    // Writes text into the serial-number field, one byte of character code and one 0x00
    // per UTF-16 unit (a unit above 0xFF loses its high byte). Throws HException when the
    // text's length differs from the field's.
    void patchSerialNumber(const QString& text);
    // Throws "Application to large to fit in appication zone" when the image holds more
    // than the bootloader download accepts.
    void checkFitsApplicationZone() const;
    // The text the serial-number field holds now.
    QString serialNumber() const;
    // The whole regular file named by the path's native form, as load() reads it: throws
    // "Cannot open " + path (also for anything but a regular file) or "Cannot read " + path.
    static QByteArray readFile(const HPath& path);

    qint32 serialOffset = 0;  // offset of the field's first character
    qint32 serialLength = 0;  // characters (UTF-16 units) in the field
    QByteArray data;          // the image, after the head copy and the serial patch

private:
    void findSerialNumber();
    void checkDeviceDescriptor() const;
    void checkMakerName() const;
    void copyHead();
};
