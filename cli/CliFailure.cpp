#include "cli/CliFailure.h"

#include "app/HException.h"
#include "cli/JsonOutput.h"
#include "device/UsbOpenError.h"

CliFailure CliFailure::fromOperation(const HException& error) {
    const auto* refused = dynamic_cast<const UsbOpenError*>(&error);
    if (refused != nullptr && refused->refusal() == OpenRefusal::Denied) {
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
    json = merged(json, fields);
    return *this;
}
