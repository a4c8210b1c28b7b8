#include "CliImages.h"

#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString writeGen3TestImage(const QString& directory, const QString& name, int size, int major,
                           int minor, const QString& description) {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = quint16(major);
    recipe.versionMinor = quint16(minor);
    recipe.description = description;
    recipe.size = size;
    QDir().mkpath(directory);
    QString path = QDir(directory).filePath(name);
    writeGen3Image(path, generateGen3Image(recipe));
    return path;
}

void writeGen2TestImages(const QString& directory) {
    writeKV2DemoImages(directory);
}

QString writeGen2TestImage(const QString& directory, const QString& name, int size,
                           int serialLength) {
    KV2ImageSpec spec;
    spec.size = size;
    spec.serialFieldLength = serialLength;
    QString path = QDir(directory).filePath(name);
    writeKV2ImageFile(path, generateKV2Image(spec));
    return path;
}

QString writeGen2VersionImage(const QString& directory, const QString& name, int major, int minor,
                              quint16 flags, quint32 seed) {
    KV2ImageSpec spec;
    spec.versionMajor = quint16(major);
    spec.versionMinor = quint16(minor);
    spec.flags = flags;
    spec.seed = seed;
    QDir().mkpath(directory);
    QString path = QDir(directory).filePath(name);
    writeKV2ImageFile(path, generateKV2Image(spec));
    return path;
}

QString writeFile(const QString& directory, const QString& name, const QByteArray& bytes) {
    QString path = QDir(directory).filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(bytes);
    }
    return path;
}
