#include "engines/FirmwareLibrary.h"

#include "app/ExecutableDirectory.h"
#include "app/HException.h"
#include "app/HPath.h"
#include "app/LocalFileName.h"
#include "device/ScopedFd.h"
#include "engines/ProbeEngines.h"
#include "gen2/Gen2Engine.h"
#include "gen3/FirmwareImageHeader.h"
#include "probe/ImageBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

namespace {

// How many images of one version an offer keeps: a second content makes it ambiguous,
// and more say nothing more.
constexpr int CONTENTS_KEPT = 2;

using Version = std::tuple<int, int>;

Version versionOf(const ImageIdentity& image) {
    return {image.versionMajor.value_or(0), image.versionMinor.value_or(0)};
}

QString versionText(const Version& version) {
    return QStringLiteral("%1.%2").arg(std::get<0>(version)).arg(std::get<1>(version));
}

// The names in `folder`, sorted, or why there are none to be had: a folder that cannot be
// read, or one of more than `limit` entries (which are not all read).
std::optional<QStringList> folderNames(const QString& folder, int limit, QString& problem) {
    DIR* dir = ::opendir(localFileName(folder).constData());
    if (dir == nullptr) {
        problem = errno == ENOENT ? QString()
                                  : QStringLiteral("cannot read it: ") + qt_error_string(errno);
        return std::nullopt;
    }
    QStringList names;
    int entries = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        if (++entries > limit) {
            ::closedir(dir);
            problem = QStringLiteral("more than %1 entries: not looked at").arg(limit);
            return std::nullopt;
        }
        names << fileNameFromLocal(name);
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0) {
        problem = QStringLiteral("cannot read it: ") + qt_error_string(error);
        return std::nullopt;
    }
    names.sort();
    return names;
}

// A generation-3 file told from its header alone, to be read whole if its version counts.
struct HeaderCandidate {
    QString path;
    Version version;
};

// What one file is, from its status and its first bytes: nothing (passed over, `why`
// says so unless it is a folder), a generation-3 candidate, or a file small enough to be
// examined whole at once.
enum class FileKind { Skip, Generation3, Small };

FileKind kindOf(const QString& path, Version& version, QString& why) {
    struct stat status {};
    if (::stat(localFileName(path).constData(), &status) != 0) {
        why = QStringLiteral("cannot read it: ") + qt_error_string(errno);
        return FileKind::Skip;
    }
    if (S_ISDIR(status.st_mode)) {
        return FileKind::Skip;
    }
    if (!S_ISREG(status.st_mode)) {
        why = QStringLiteral("not a regular file");
        return FileKind::Skip;
    }
    if (status.st_size > largestProbeImage()) {
        why = QStringLiteral("%1 bytes, larger than any probe holds").arg(qint64(status.st_size));
        return FileKind::Skip;
    }
    // Without waiting: what stands there now may no longer be the file that was looked at.
    const ScopedFd file(
        ::open(localFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        why = QStringLiteral("cannot open it: ") + qt_error_string(errno);
        return FileKind::Skip;
    }
    char head[FirmwareImageHeader::SIZE] = {};
    ssize_t got = 0;
    do {
        got = ::read(file.get(), head, sizeof head);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        why = QStringLiteral("cannot read it: ") + qt_error_string(errno);
        return FileKind::Skip;
    }
    if (const auto header = FirmwareImageHeader::validFromBytes(QByteArrayView(head, got))) {
        version = {header->versionMajor, header->versionMinor};
        return FileKind::Generation3;
    }
    if (status.st_size > Gen2Engine::largestImage()) {
        why = QStringLiteral(
                  "not a firmware image: no generation-3 header, and larger than a "
                  "generation-2 image can be (%1 bytes)")
                  .arg(Gen2Engine::largestImage());
        return FileKind::Skip;
    }
    return FileKind::Small;
}

// The key an offer is kept under: generation and variant.
QString keyOf(const ImageIdentity& image) {
    return QString::number(image.generation.value_or(0)) + u'/' +
           variantOf(image).value_or(QString());
}

// Of `images` (installable, comparable), per generation and variant, those of the newest
// version, one per content and at most CONTENTS_KEPT, in their order.
FirmwareLibrary::Images newestOfEach(const FirmwareLibrary::Images& images) {
    QHash<QString, Version> newest;
    for (const auto& image : images) {
        const QString key = keyOf(*image);
        if (!newest.contains(key) || versionOf(*image) > newest.value(key)) {
            newest.insert(key, versionOf(*image));
        }
    }
    FirmwareLibrary::Images kept;
    QHash<QString, QSet<QString>> contents;
    for (const auto& image : images) {
        const QString key = keyOf(*image);
        QSet<QString>& seen = contents[key];
        if (versionOf(*image) == newest.value(key) && !seen.contains(image->sha256) &&
            seen.size() < CONTENTS_KEPT) {
            seen.insert(image->sha256);
            kept << image;
        }
    }
    return kept;
}

}  // namespace

QStringList FirmwareLibrary::folders(const QStringList& given, const QString& programFolder) {
    QStringList all = given;
    for (const QString& data :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        if (!data.isEmpty()) {
            all << data + QStringLiteral("/kvtool/firmware");
        }
    }
    all << (programFolder.isEmpty() ? executableDirectory() : programFolder);
    QStringList unique;
    QSet<QString> seen;
    for (const QString& folder : all) {
        const QString key = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
        if (!folder.isEmpty() && !seen.contains(key)) {
            seen.insert(key);
            unique << folder;
        }
    }
    return unique;
}

FirmwareLibrary::FirmwareLibrary(QStringList folders) : order(std::move(folders)) {}

QString FirmwareLibrary::generation2Folder(kv2::TargetFamily family, kv2::JtagClocking clocking,
                                           const QString& chosen) const {
    if (!chosen.isEmpty()) {
        return chosen;
    }
    const QString name = kv2::imageFileName(family, clocking);
    for (const QString& folder : order) {
        if (QFileInfo::exists(HPath(folder).nativePath() + u'/' + name)) {
            return folder;
        }
    }
    return order.value(0);
}

QString FirmwareLibrary::generation2Image(kv2::TargetFamily family, kv2::JtagClocking clocking,
                                          const QString& chosen) const {
    return generation2ImageIn(generation2Folder(family, clocking, chosen), family, clocking);
}

QString FirmwareLibrary::generation2ImageIn(const QString& folder, kv2::TargetFamily family,
                                            kv2::JtagClocking clocking) {
    return HPath(folder).nativePath() + u'/' + kv2::imageFileName(family, clocking);
}

const FirmwareLibrary::Images& FirmwareLibrary::offers() {
    if (!scanned) {
        scanned = true;
        scan();
    }
    return found;
}

QStringList FirmwareLibrary::folderProblems() const {
    return troubled;
}

void FirmwareLibrary::scan() {
    qint64 budget = MAX_BYTES_READ;
    // Reads `path` whole, within the budget; null (with a note) when it cannot be had.
    const auto readWhole = [&](const QString& path) -> std::shared_ptr<const ImageIdentity> {
        const qint64 size = QFileInfo(path).size();
        if (size > budget) {
            passed << Note{path, QStringLiteral("not read: the look reads at most %1 bytes in all")
                                     .arg(MAX_BYTES_READ)};
            return nullptr;
        }
        try {
            auto image = std::make_shared<const ImageIdentity>(identifyImage(path));
            budget -= image->size();
            return image;
        } catch (const HException& e) {
            passed << Note{path, messageOf(e)};
            return nullptr;
        }
    };
    // Keeps `image` as a candidate, or notes why it is none.
    Images candidates;
    const auto consider = [&](const std::shared_ptr<const ImageIdentity>& image) {
        if (!image->installable()) {
            passed << Note{image->path, image->problem};
        } else if (!variantOf(*image)) {
            passed << Note{image->path, QStringLiteral("states no version (no version record)")};
        } else {
            candidates << image;
        }
    };

    QList<HeaderCandidate> headers;
    for (const QString& folder : order) {
        QString problem;
        const std::optional<QStringList> names = folderNames(folder, MAX_FOLDER_ENTRIES, problem);
        if (!names) {
            if (!problem.isEmpty()) {
                passed << Note{folder, problem};
                troubled << QStringLiteral("%1: %2").arg(folder, problem);
            }
            continue;
        }
        for (const QString& name : *names) {
            const QString path = HPath(folder).nativePath() + u'/' + name;
            Version version;
            QString why;
            switch (kindOf(path, version, why)) {
                case FileKind::Skip:
                    if (!why.isEmpty()) {
                        passed << Note{path, why};
                    }
                    break;
                case FileKind::Generation3:
                    headers << HeaderCandidate{path, version};
                    break;
                case FileKind::Small:
                    if (const auto image = readWhole(path)) {
                        consider(image);
                    }
                    break;
            }
        }
    }

    // Generation 3: newest version first, each read whole until one version has an
    // installable image (a second content of it is enough to tell it ambiguous).
    std::stable_sort(
        headers.begin(), headers.end(),
        [](const HeaderCandidate& a, const HeaderCandidate& b) { return a.version > b.version; });
    std::optional<Version> chosen;
    QSet<QString> contents;
    for (const HeaderCandidate& header : headers) {
        if (chosen && (header.version != *chosen || contents.size() >= CONTENTS_KEPT)) {
            passed << Note{header.path, QStringLiteral("not read: a newer or an ambiguous image "
                                                       "of generation 3 was found")};
            continue;
        }
        const auto image = readWhole(header.path);
        if (!image) {
            continue;
        }
        if (image->generation != 3 || versionOf(*image) != header.version) {
            passed << Note{header.path, QStringLiteral("changed while it was read")};
            continue;
        }
        consider(image);
        if (image->installable()) {
            chosen = header.version;
            contents.insert(image->sha256);
        }
    }
    found = newestOfEach(candidates);
}

UpdateChoice FirmwareLibrary::updateFor(const InstalledFirmware& installed,
                                        const std::optional<QString>& variant) {
    return chooseUpdate(offers(), installed, variant);
}

UpdateChoice chooseUpdate(const FirmwareLibrary::Images& images, const InstalledFirmware& installed,
                          const std::optional<QString>& variant) {
    UpdateChoice choice;
    const int generation = installed.generation;
    const std::optional<QString> runs = variantOf(installed);
    const std::optional<QString> wanted = variant ? variant : runs;
    if (!wanted) {
        choice.problem = QStringLiteral(
            "the probe runs no application firmware that tells which variant it takes: the "
            "target and clocking must be given");
        return choice;
    }
    FirmwareLibrary::Images fitting;
    for (const auto& image : images) {
        if (image->installable() && image->generation == generation &&
            variantOf(*image) == wanted) {
            fitting << image;
        }
    }
    const QString what =
        wanted->isEmpty()
            ? QStringLiteral("a generation-%1 probe").arg(generation)
            : QStringLiteral("a generation-%1 probe of %2").arg(generation).arg(*wanted);
    if (fitting.isEmpty()) {
        choice.problem = QStringLiteral("no image in the firmware folders fits %1").arg(what);
        return choice;
    }
    const Version newest = versionOf(**std::max_element(
        fitting.begin(), fitting.end(),
        [](const auto& a, const auto& b) { return versionOf(*a) < versionOf(*b); }));
    for (const auto& image : fitting) {
        if (versionOf(*image) != newest) {
            continue;
        }
        if (!choice.image) {
            choice.image = image;
        } else if (image->sha256 != choice.image->sha256) {
            choice.problem = QStringLiteral(
                                 "ambiguous: %1 and %2 are both version %3 for %4, with "
                                 "different contents (remove one of them)")
                                 .arg(choice.image->path, image->path, versionText(newest), what);
            choice.image = nullptr;
            return choice;
        }
    }
    if (installed.state == InstalledFirmware::State::Installed && runs == wanted &&
        installed.versionMajor && installed.versionMinor) {
        const Version running{*installed.versionMajor, *installed.versionMinor};
        choice.relation =
            newest > running ? UpdateChoice::Relation::Newer : UpdateChoice::Relation::NotNewer;
    }
    return choice;
}
