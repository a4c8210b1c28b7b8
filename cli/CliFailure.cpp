#include "cli/CliFailure.h"

#include "app/HException.h"
#include "device/UsbBackend.h"

#include <cstring>

namespace {

constexpr char CANNOT_OPEN_DEVICE_DRIVER[] = "cannot open device driver";

}  // namespace

CliFailure CliFailure::fromOperation(const HException& error) {
    if (std::strcmp(error.messageText(), CANNOT_OPEN_DEVICE_DRIVER) == 0 &&
        usbBackend().lastOpenRefusal() == OpenRefusal::Denied) {
        return CliFailure(ExitCode::PermissionDenied, messageOf(error),
                          QStringLiteral("this user may not open the probe: run 'kvtool-cli "
                                         "doctor' to see why and how to fix it"));
    }
    return CliFailure(ExitCode::Failed, messageOf(error));
}

CliFailure CliFailure::fromImage(const HException& error) {
    return CliFailure(ExitCode::BadImage, messageOf(error));
}

CliFailure& CliFailure::with(const QJsonObject& fields) {
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        json.insert(it.key(), it.value());
    }
    return *this;
}
