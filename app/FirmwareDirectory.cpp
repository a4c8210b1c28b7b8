#include "app/FirmwareDirectory.h"

#include "app/ExecutableDirectory.h"

// Constructed before main() runs; an allocation failure there would end the process,
// which is all that could be done about it.
HPath firmwareDirectory;  // NOLINT(cert-err58-cpp)

HPath firmwareDirectoryFromArguments(const QStringList& arguments) {
    if (arguments.size() >= 2) {
        return HPath(arguments.at(1));
    }
    return HPath(executableDirectory());
}
