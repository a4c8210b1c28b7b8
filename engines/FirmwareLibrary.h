#pragma once

#include "gen2/KV2Variant.h"
#include "probe/ImageIdentity.h"
#include "probe/InstalledFirmware.h"
#include "probe/UpdateChoice.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The firmware folders: where kvtool and kvtool-cli find firmware images, in the order they
// look, and the images they hold. A packaged firmware goes to /usr/share/kvtool/firmware,
// one of a user's own to ~/.local/share/kvtool/firmware.
//
// Files of any name are looked at; what is no installable image is passed over with a note
// of why. The look is bounded: a folder of more than MAX_FOLDER_ENTRIES entries is passed
// over whole, a file larger than any probe holds is never read, a generation-3 file is
// read whole only when its header makes it a candidate, and no more than MAX_BYTES_READ
// bytes are read in all. Every image kept is held as read (ImageBytes): what becomes of its
// file afterwards changes nothing.
class FirmwareLibrary {
public:
    static constexpr int MAX_FOLDER_ENTRIES = 1000;
    static constexpr qint64 MAX_BYTES_READ = Q_INT64_C(256) * 1024 * 1024;

    // A folder or file passed over, and why.
    struct Note {
        QString path;
        QString reason;
    };
    using Images = QList<std::shared_ptr<const ImageIdentity>>;

    // The firmware folders in order: `given` (the argument, --firmware-dir, a folder the user
    // chose), then $XDG_DATA_HOME/kvtool/firmware, kvtool/firmware under each folder of
    // $XDG_DATA_DIRS, and last `programFolder` (by default the one that holds the running
    // program). A folder named twice counts where it comes first.
    static QStringList folders(const QStringList& given = {},
                               const QString& programFolder = QString());

    explicit FirmwareLibrary(QStringList folders);

    const QStringList& searched() const { return order; }

    // The folder whose kv_<target>_<clocking>.bin the generation-2 page installs: the first
    // that has a file of that name, else the first folder (where the page's "Cannot open"
    // then names it). `chosen`, when not empty, is the folder the user picked instead.
    QString generation2Folder(kv2::TargetFamily family, kv2::JtagClocking clocking,
                              const QString& chosen = QString()) const;
    // The file in that folder.
    QString generation2Image(kv2::TargetFamily family, kv2::JtagClocking clocking,
                             const QString& chosen = QString()) const;
    // The kv_<target>_<clocking>.bin in `folder`.
    static QString generation2ImageIn(const QString& folder, kv2::TargetFamily family,
                                      kv2::JtagClocking clocking);

    // The candidates of an update, read on the first call: for each generation and variant
    // the images of the newest version that is installable, one per content (two when
    // they differ, which makes that version ambiguous).
    const Images& offers();
    // What the look passed over, and why (after offers()).
    const QList<Note>& notes() const { return passed; }
    // What the folders do not say when nothing fits: the folders that could not be
    // looked at (unreadable, too large), in a few words each.
    QStringList folderProblems() const;

    // The image for a probe that reports `installed` (the newest of its variant, or of
    // `variant` when given), and how it stands to what the probe runs.
    UpdateChoice updateFor(const InstalledFirmware& installed,
                           const std::optional<QString>& variant = std::nullopt);

private:
    void scan();

    QStringList order;
    bool scanned = false;
    Images found;
    QList<Note> passed;
    QStringList troubled;
};

// The update of a probe that reports `installed` among `images` (installable images): the
// newest of the probe's generation and variant (`variant`, when given, instead of the one
// the probe runs). Two images of that version with different contents are a problem: the
// choice is refused as ambiguous. The probe needs the image unless it runs its variant at
// that version or a newer one.
UpdateChoice chooseUpdate(const FirmwareLibrary::Images& images, const InstalledFirmware& installed,
                          const std::optional<QString>& variant = std::nullopt);
