#include "cli/SessionCommand.h"

#include "app/HException.h"
#include "cli/Console.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeJob.h"
#include "cli/ProductionLog.h"
#include "cli/Rack.h"
#include "cli/WatchedBackend.h"
#include "device/UsbDiscovery.h"
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"
#include "probe/ChildSession.h"
#include "probe/InstallSession.h"
#include "probe/SessionWire.h"

#include <QElapsedTimer>
#include <QFile>

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// More than any request takes.
constexpr qint64 MAX_REQUEST_BYTES = 1 << 20;

// Writes `line` whole on standard output; once the reader is gone, nothing more is written
// (the install goes on).
void writeLine(const QByteArray& line) {
    static bool readerGone = false;
    qsizetype done = 0;
    while (!readerGone && done < line.size()) {
        const ssize_t n =
            ::write(STDOUT_FILENO, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            readerGone = true;
            return;
        }
        done += n;
    }
}

// The probe of the request as this process sees the bus: on the port it was found on,
// with the same serial number (or, without a port, by its device path).
std::optional<UsbDeviceInfo> findProbe(const UsbDeviceInfo& wanted) {
    for (const UsbDeviceInfo& probe : attachedProbes()) {
        const bool samePlace = wanted.port().isEmpty() ? probe.devicePath() == wanted.devicePath()
                                                       : probe.port() == wanted.port();
        if (samePlace && probe.serialNumber() == wanted.serialNumber()) {
            return probe;
        }
    }
    return std::nullopt;
}

// Ends a session that could not start with `failure`.
void refuse(FailureKind kind, const QString& message) {
    SessionEvents events;
    sessionwire::forward(events, writeLine);
    SessionResult result;
    result.failure = {kind, message, QString()};
    Q_EMIT events.finished(result);
}

}  // namespace

int runSessionCommand(Console& console) {
    // The install is finished whatever becomes of the process that asked for it or of the
    // terminal: only SIGKILL (an explicit abandon) ends it.
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGXFSZ}) {
        std::signal(signal, SIG_IGN);
    }
    QElapsedTimer clock;
    clock.start();
    QFile input;
    input.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
    sessionwire::Request request;
    try {
        request = sessionwire::decodeRequest(input.read(MAX_REQUEST_BYTES));
    } catch (const HException& e) {
        writeLine(sessionwire::encodeRefusal(messageOf(e)));
        return 2;
    }

    WatchedBackend backend(request.verbose, console);
    std::shared_ptr<const ImageIdentity> image;
    FirmwareLibrary::Images offered;
    // The image as handed over, and the images an update offers: the bytes the starting
    // process read, whatever became of their files since.
    const auto handedOver = [](const QString& path, int descriptor) {
        const std::shared_ptr<const ImageBytes> bytes =
            ImageBytes::adopt(descriptor, largestProbeImage());
        return std::make_shared<const ImageIdentity>(
            identifyImageBytes(path, bytes->bytes(), bytes));
    };
    try {
        if (request.update) {
            for (qsizetype i = 0; i < request.update->offers.size(); ++i) {
                offered << handedOver(request.update->offers[i],
                                      ChildSession::FIRST_OFFER_DESCRIPTOR + int(i));
            }
        } else {
            image = handedOver(request.imagePath, ChildSession::IMAGE_DESCRIPTOR);
        }
    } catch (const HException& e) {
        refuse(FailureKind::Failed, messageOf(e));
        return 0;
    }
    const std::optional<UsbDeviceInfo> probe = findProbe(request.probe);
    if (!probe) {
        refuse(FailureKind::NoProbe, QStringLiteral("No device with serial number %1 connected")
                                         .arg(request.probe.serialNumber()));
        return 0;
    }
    std::unique_ptr<ProbeEngine> engine = engineForProbe(*probe);
    if (!engine) {
        refuse(FailureKind::Failed, unknownProbeMessage(*probe));
        return 0;
    }
    std::unique_ptr<InstallSession> owned;
    if (request.update) {
        // The session chooses once it read the probe, as an update on one probe does.
        ImageChooser chooser =
            [offered, variant = request.update->variant](const InstalledFirmware& installed) {
                return chooseUpdate(offered, installed, variant);
            };
        owned = std::make_unique<InstallSession>(std::move(engine), *probe, std::move(chooser),
                                                 request.options);
    } else {
        owned = std::make_unique<InstallSession>(std::move(engine), *probe, image, request.options);
    }
    InstallSession& session = *owned;
    // The record is this process's to write, so that it is written whatever became of the
    // process that asked for the install; it is told before the result, which then ends
    // the session for that process.
    const std::unique_ptr<ProductionLog> records =
        request.record ? ProductionLog::adopt(ChildSession::RECORD_DESCRIPTOR, QString()) : nullptr;
    if (records) {
        QObject::connect(&session, &SessionEvents::finished, [&](const SessionResult& result) {
            const std::unique_ptr<ProbeJob> job(ProbeJob::fromResult(
                *probe, result, clock.elapsed(), request.inUseSkipped, request.update.has_value()));
            writeLine(sessionwire::encodeRecorded(records->append(Rack::resultJson(job.get()))));
        });
    }
    sessionwire::forward(session, writeLine);
    session.run();
    backend.flush();
    return 0;
}
