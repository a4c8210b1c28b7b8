#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/InstallSession.h"
#include "probe/SessionEvents.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The form in which an install session crosses from the process that runs it to the one
// that started it: one JSON object per line, each carrying the protocol version, its event
// and the typed values of SessionEvents (phases and outcomes by name, firmware as fields).
// Display texts travel only as data to show; nothing is decided by them. A line of another
// version is refused, not misread: parent and child are the same program, but the program
// file may have been replaced (an upgrade) while a long watch runs.
namespace sessionwire {

constexpr int VERSION = 1;
// The key that carries the version in every line.
constexpr char VERSION_KEY[] = "kvtoolSession";

// What the starting process asks of the child: the probe, the image's name (its bytes are
// handed over as a memory file), the session's options and whether to trace USB traffic;
// and whether the child appends the record of its session to a log file handed over as
// well, in which a probe in use by another installer counts as skipped or as failed.
//
// An update names no image: the child chooses, once it read the probe, among the images
// offered (their names here, their bytes handed over as memory files as well), for the
// variant given or else the one the probe runs.
struct Request {
    struct Update {
        QStringList offers;
        std::optional<QString> variant;
    };

    UsbDeviceInfo probe;
    QString imagePath;
    InstallSession::Options options;
    bool verbose = false;
    bool record = false;
    bool inUseSkipped = false;
    std::optional<Update> update;
};

QByteArray encodeRequest(const Request& request);
// Throws HException when `bytes` is no request of this version.
Request decodeRequest(const QByteArray& bytes);
// The line a child sends instead of events when it refuses a request (another version):
// the refusal carries the child's own version.
QByteArray encodeRefusal(const QString& message);

// The line a child sends when it appended the record of its session itself, before its
// result: `problem` is empty when the record is on disk, else why it is not.
QByteArray encodeRecorded(const QString& problem);
// The problem of such a line `bytes`, or nothing for a line of another event. Throws
// HException for a line of another version.
std::optional<QString> recordedOf(const QByteArray& bytes);

// Writes each event of `events` as one line through `write`, from now on.
void forward(SessionEvents& events, const std::function<void(const QByteArray& line)>& write);
// Emits the event of one line, `bytes`, on `events`. Throws HException for a line of
// another version (or a refusal), or one that is no event.
void replay(const QByteArray& bytes, SessionEvents& events);

}  // namespace sessionwire
