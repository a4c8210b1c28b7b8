#include "device/UdevRuleStatus.h"

#include <QDir>
#include <QFileInfo>

QStringList UdevRuleStatus::defaultDirectories() {
    return {QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
            QStringLiteral("/usr/local/lib/udev/rules.d"), QStringLiteral("/usr/lib/udev/rules.d"),
            QStringLiteral("/lib/udev/rules.d")};
}

UdevRuleStatus UdevRuleStatus::find(const QStringList& directories) {
    UdevRuleStatus status;
    status.searched = directories;
    for (const QString& directory : directories) {
        const QFileInfo file(QDir(directory).filePath(QLatin1String(RULE_NAME)));
        if (!file.exists() && !file.isSymLink()) {
            continue;
        }
        // On a merged /usr, /lib is /usr/lib: the same file found twice is one.
        const QString canonical = file.canonicalFilePath();
        const bool seen = std::ranges::any_of(status.found, [&canonical](const QString& earlier) {
            return QFileInfo(earlier).canonicalFilePath() == canonical;
        });
        if (seen && !canonical.isEmpty()) {
            continue;
        }
        const bool mask = (file.isSymLink() && file.symLinkTarget() == u"/dev/null") ||
                          (file.isFile() && file.size() == 0);
        if (status.found.isEmpty() && mask) {
            status.maskedBy = file.filePath();
        }
        status.found << file.filePath();
    }
    return status;
}
