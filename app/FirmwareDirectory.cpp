#include "app/FirmwareDirectory.h"

#include "app/ExecutableDirectory.h"

HPath firmwareDirectory;

HPath firmwareDirectoryFromArguments(const QStringList& arguments) {
    if (arguments.size() >= 2) {
        return HPath(arguments.at(1));
    }
    return HPath(executableDirectory());
}
