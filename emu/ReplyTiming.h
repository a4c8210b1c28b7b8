#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>
#include <random>

// When an emulated probe's replies go out, beyond the time its firmware takes for the
// command: a fixed latency for every reply, one late reply after each start, and a random
// jitter within a range. The pipes in front of the firmware keep replies in order, as an
// endpoint's FIFO does, and a reply the host gave up waiting for stays queued for the next
// read. Options of both generations' kinds (KVTOOL_EMULATE):
//
//   latency=MS        every reply comes MS later
//   late=MS[@N]       the N-th reply (default the first) after each start comes MS later
//                     still: for generation 2 after each restart (the bootloader's answers
//                     after EnterBootloader, the application's after a download), for
//                     generation 3 after the probe was attached
//   jitter=MIN-MAX    every reply comes a random MIN to MAX ms later still
//   seed=N            the jitter's random sequence (default 1)
//   pace=overlap|serial  overlap (default): each reply's delays count from its request,
//                     so the answers to requests sent back to back come together;
//                     serial: from when the reply before it was ready, as firmware that
//                     works on one request at a time
struct ReplyTiming {
    quint32 latencyMs = 0;
    quint32 lateMs = 0;
    int lateReply = 1;  // counted from 1 after each start
    quint32 jitterMinMs = 0;
    quint32 jitterMaxMs = 0;
    quint32 seed = 1;
    bool serial = false;

    static QStringList keys();
    // Reads the timing keys of `options` into `timing` (other keys are left alone); returns
    // why they cannot be read, or the empty text.
    static QString parse(const QMap<QString, QString>& options, ReplyTiming& timing);
};

// The delays of one probe's replies, one after another.
class ReplyDelays {
public:
    // `started`: the probe's first reply is the first after a start (generation 3, which is
    // attached running); otherwise only a restart begins the count (generation 2).
    explicit ReplyDelays(const ReplyTiming& timing = {}, bool started = true);

    // The extra delay of the next reply.
    quint32 next();
    // When the next reply, asked for at `nowMs`, is ready when the firmware takes
    // `workMs` for it and the reply queued before it is ready at `previousReadyMs` (none:
    // nothing queued). Never ahead of the one before it.
    quint32 readyAt(quint32 nowMs, quint32 workMs, std::optional<quint32> previousReadyMs);
    // The probe starts again: its next reply is the first after a start.
    void restart() { sinceStart = 0; }

private:
    ReplyTiming timing;
    std::mt19937 random;
    int sinceStart;
};
