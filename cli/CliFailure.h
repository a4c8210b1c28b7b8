#pragma once

#include "cli/ExitCode.h"

#include <QJsonObject>
#include <QString>

#include <optional>

class HException;
struct SessionFailure;

// Why a command ends without success: the exit code, the message (the system's own text
// when a kvcore operation failed) and, where the user can do something about it, a hint.
// Thrown by the commands and reported once, by CliApplication.
class CliFailure {
public:
    CliFailure(ExitCode code, const QString& message, const QString& hint = QString())
        : exitCode(code), message(message), hint(hint) {}

    // A failure of a kvcore operation: exit code 1, or 4 when the message is "cannot open
    // device driver" and the USB backend says the open was refused for lack of permission.
    static CliFailure fromOperation(const HException& error);
    // A kvcore failure while reading or checking an image file: exit code 5.
    static CliFailure fromImage(const HException& error);
    // How an install session failed, with the exit code of its kind.
    static CliFailure fromSession(const SessionFailure& failure);
    // The exit code of a session failure's kind (0 for none).
    static ExitCode exitCodeOf(const SessionFailure& failure);

    // Adds `fields` to the JSON result that reports this failure.
    CliFailure& with(const QJsonObject& fields);

    ExitCode exitCode;
    QString message;
    QString hint;
    QJsonObject json;  // what the command knew when it failed, for the JSON result
    // The USB reason behind it, where the failure carries its own (an install session's);
    // otherwise the backend's reason behind the last failure it saw is reported.
    std::optional<QString> usbReason;
};
