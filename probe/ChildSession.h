#pragma once

#include "probe/ImageBytes.h"
#include "probe/SessionEvents.h"
#include "probe/SessionWire.h"

#include <QByteArray>
#include <QList>
#include <QProcess>

#include <memory>
#include <optional>

// An install session run by a child process of its own (the same program, in its session
// mode), with its events read back as they come: one probe's install among several, so
// that a failure, a hang or a crash on one never touches another. The child gets the
// request on its standard input and the image as a memory file on descriptor 3 (the same
// bytes for every child), and sends its events on its standard output; what it writes on
// standard error (its USB trace) is told line by line.
//
// The child runs in a process group of its own, so that a terminal's Ctrl-C reaches only
// the process that started it, which decides what becomes of the child. A child that ends
// without a result, or sends what is no event of this protocol version, ends the session
// with a failure that says so.
class ChildSession : public SessionEvents {
    Q_OBJECT

public:
    // The descriptor on which the child finds the image.
    static constexpr int IMAGE_DESCRIPTOR = 3;
    // The descriptor on which the child finds the file it appends its record to, when the
    // request asks for one.
    static constexpr int RECORD_DESCRIPTOR = 4;
    // The descriptors of the images an update offers, the n-th on FIRST_OFFER_DESCRIPTOR + n.
    static constexpr int FIRST_OFFER_DESCRIPTOR = 5;

    ChildSession(const sessionwire::Request& request, std::shared_ptr<const ImageBytes> image,
                 QObject* parent = nullptr);
    ~ChildSession() override;

    // The file (open for appending) to hand to the child as RECORD_DESCRIPTOR; set before
    // start().
    void setRecordFile(int descriptor) { recordFile = descriptor; }
    // The images an update offers, in the order of the request's offers; set before start().
    void setOffers(QList<std::shared_ptr<const ImageBytes>> images) { offers = std::move(images); }
    // Starts `program session`.
    void start(const QString& program);
    // Ends the child at once (SIGKILL): what it had done stays done.
    void abandon();
    bool running() const { return !ended; }
    // What the child last told of the probe.
    ProbeState probeState() const { return state; }
    // Whether the child appended the record of its session itself: then why it could not
    // (empty when it is on disk). Nothing when it did not say so, and the record is still
    // to be written.
    std::optional<QString> recorded() const { return recordProblem; }

Q_SIGNALS:
    // A line the child wrote on its standard error.
    void traced(const QString& line);

private:
    void readEvents();
    void readTrace();
    void childEnded(int exitCode, QProcess::ExitStatus status);
    void end(const SessionResult& result);

    sessionwire::Request request;
    std::shared_ptr<const ImageBytes> image;
    QList<std::shared_ptr<const ImageBytes>> offers;
    QProcess process;
    QByteArray pendingOut;
    QByteArray pendingErr;
    ProbeState state = ProbeState::Untouched;
    std::optional<InstalledFirmware> before;
    std::optional<QString> recordProblem;
    int recordFile = -1;
    QString protocolProblem;  // the first line that was no event, or a refusal
    bool abandoned = false;
    bool ended = false;
};
