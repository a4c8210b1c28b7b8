#include "app/FirmwareDirectory.h"

#include "app/ExecutableDirectory.h"
#include "engines/FirmwareLibrary.h"

#include <QSettings>
#include <QStandardPaths>

// Constructed before main() runs; an allocation failure there would end the process,
// which is all that could be done about it.
HPath firmwareDirectory;  // NOLINT(cert-err58-cpp)

namespace {

constexpr char FOLDER_KEY[] = "generation2/firmwareFolder";

QSettings settings() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/kvtool/kvtool.conf"),
                     QSettings::IniFormat);
}

}  // namespace

HPath firmwareDirectoryFromArguments(const QStringList& arguments) {
    return HPath(arguments.size() >= 2 ? arguments.at(1) : executableDirectory());
}

QStringList firmwareFolders() {
    const QString chosen = firmwareDirectory.nativePath();
    return FirmwareLibrary::folders(chosen.isEmpty() ? QStringList() : QStringList{chosen});
}

QString rememberedFirmwareFolder() {
    return settings().value(QLatin1String(FOLDER_KEY)).toString();
}

void rememberFirmwareFolder(const QString& folder) {
    QSettings stored = settings();
    if (folder.isEmpty()) {
        stored.remove(QLatin1String(FOLDER_KEY));
    } else {
        stored.setValue(QLatin1String(FOLDER_KEY), folder);
    }
}
