#pragma once

#include "gen3/FirmwareImageHeader.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

// Image files written for a test into a directory of its own.

// The 64-byte header of a valid image of that version and description.
inline QByteArray headerBytes(quint16 major, quint16 minor, const QByteArray& description) {
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = major;
    header.versionMinor = minor;
    header.setDescription(QString::fromLatin1(description));
    return header.toBytes();
}

class ImageFiles : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& content) {
        QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }
    static std::string local(const QString& text) { return text.toLocal8Bit().toStdString(); }

    QTemporaryDir dir;
};
