#include "app/FirmwareDirectory.h"

#include "app/ExecutableDirectory.h"

// Constructed before main() runs; an allocation failure there would end the process,
// which is all that could be done about it.
HPath firmwareDirectory;  // NOLINT(cert-err58-cpp)

HPath firmwareDirectoryFromArguments(const QStringList& arguments) {
    return HPath(arguments.size() >= 2 ? arguments.at(1) : executableDirectory());
}
