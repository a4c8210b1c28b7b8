#include "cli/CliFailure.h"

#include "app/HException.h"
#include "cli/JsonOutput.h"
#include "device/NodeHolders.h"
#include "device/UsbOpenError.h"
#include "probe/SessionResult.h"

namespace {

constexpr char DOCTOR_HINT[] =
    "this user may not open the probe: run 'kvtool-cli doctor' to see why and how to fix it";

// For a probe that another program holds: which one, where it can be told.
QString busyHint(const QString& holder) {
    if (holder.isEmpty()) {
        return QStringLiteral(
            "another program has the probe open (a debugger?): end it, or have it let go of "
            "the probe, and try again");
    }
    return QStringLiteral(
               "the probe is in use by %1: end that program, or have it let go of the probe, "
               "and try again")
        .arg(holder);
}

}  // namespace

CliFailure CliFailure::fromOperation(const HException& error) {
    const auto* refused = dynamic_cast<const UsbOpenError*>(&error);
    if (refused != nullptr && refused->refusal() == OpenRefusal::Denied) {
        return CliFailure(ExitCode::PermissionDenied, messageOf(error), QLatin1String(DOCTOR_HINT));
    }
    if (refused != nullptr && refused->refusal() == OpenRefusal::Busy) {
        return CliFailure(ExitCode::Failed, messageOf(error),
                          busyHint(describeHolders(processesHolding(refused->deviceNode()))));
    }
    return CliFailure(ExitCode::Failed, messageOf(error));
}

CliFailure CliFailure::fromImage(const HException& error) {
    return CliFailure(ExitCode::BadImage, messageOf(error));
}

ExitCode CliFailure::exitCodeOf(const SessionFailure& failure) {
    switch (failure.kind) {
        case FailureKind::None:
            return ExitCode::Done;
        case FailureKind::ImageRefused:
            return ExitCode::BadImage;
        case FailureKind::NoProbe:
            return ExitCode::NoProbe;
        case FailureKind::PermissionDenied:
            return ExitCode::PermissionDenied;
        case FailureKind::Failed:
        case FailureKind::NotReturned:
        case FailureKind::Abandoned:
        case FailureKind::InUse:
        case FailureKind::DeviceBusy:
            break;
    }
    return ExitCode::Failed;
}

CliFailure CliFailure::fromSession(const SessionFailure& failure) {
    const ExitCode code = exitCodeOf(failure);
    CliFailure result(code, failure.message,
                      code == ExitCode::PermissionDenied ? QLatin1String(DOCTOR_HINT) : QString());
    if (failure.kind == FailureKind::DeviceBusy) {
        result.hint = busyHint(failure.holder);
    }
    result.usbReason = failure.usbReason;
    return result;
}

CliFailure& CliFailure::with(const QJsonObject& fields) {
    json = merged(json, fields);
    return *this;
}
