#include "app/NoSettings.h"

#include <QSettings>

namespace {

// No directory can ever be made below a character device, so no settings file either.
constexpr char NOWHERE[] = "/dev/null";

}  // namespace

void keepNoSettings() {
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QLatin1String(NOWHERE));
    }
}
