#pragma once

#include "emu/EmulatedDevice.h"
#include "emu/ReplyTiming.h"
#include "gen2/KV2VersionRecord.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The emulated generation-2 probe as KVTOOL_EMULATE describes it (kinds `gen2` and
// `gen2-bootloader`, see EmulatorSetup). Options:
//
//   version=MAJOR.MINOR    installed application version (default 1.5)
//   variant=FAMILY-CLOCK   installed variant: alder, birch or cedar, then max or var
//                          (default birch-var)
//   flags=N                the variant as raw flags instead (decimal or 0x hex)
//   reboot=MS              how long a restart keeps the probe off the bus (default 1500)
//   enter=restart|ignore   what the bootloader does with EnterBootloader (default restart)
//   buffer=reuse           the firmware answers from one reply buffer: a Verify answer
//                          keeps bytes 1 to 63 of the answer before it
//   stale=N                the probe starts with N answers of an earlier session still
//                          queued (Verify matches whose reads gave up), in its bootloader
//   latency, late, jitter, seed   when the replies go out (ReplyTiming)
//   fault=F[+F...]         faults, each one of
//       never              after EnterBootloader the probe never comes back
//       app@N              the application still answers N ReadInfo requests after
//                          EnterBootloader before it restarts
//       verify@K           block K (from 0) of the next download fails to verify
//       mute[@N]           the next N requests that expect a reply get none (the host
//                          times out); without N, none is ever answered again
//       unplug@N           the probe drops off the bus after N bytes sent to it
//       twice@N            the N-th reply (from 1) goes out twice (may be given several
//                          times)
//
// A probe made as `gen2-bootloader` is in its bootloader with an erased application zone
// and takes only reboot, enter, buffer, stale, the timing and fault.
struct Gen2ProbeOptions {
    static constexpr quint16 DEFAULT_VERSION_MAJOR = 1;
    static constexpr quint16 DEFAULT_VERSION_MINOR = 5;
    static constexpr quint16 DEFAULT_FLAGS = 0x0A;  // Birch, Variable Speed and Adaptive

    KV2VersionRecord application{DEFAULT_VERSION_MAJOR, DEFAULT_VERSION_MINOR, DEFAULT_FLAGS};
    quint32 rebootMs;
    bool bootloaderNeverAppears = false;
    int applicationAnswers = 0;
    int corruptBlock = -1;
    int withheldReplies = 0;  // -1: every reply
    std::optional<qint64> unplugAfterBytes;
    bool bootloaderIgnoresEnter = false;
    int staleReplies = 0;
    QList<int> answeredTwice;  // the replies sent twice, from 1
    bool reusesReplyBuffer = false;
    ReplyTiming timing;

    Gen2ProbeOptions();

    // The option names a kind takes besides `serial`.
    static QStringList names(bool inBootloader);
    // Reads `options` into `parsed`; returns why they cannot make a probe, or nothing.
    static QString parse(const QMap<QString, QString>& options, bool inBootloader,
                         Gen2ProbeOptions& parsed);

    // A new device with a probe as described, enumerating with `serialNumber`.
    std::shared_ptr<EmulatedDevice> create(const QString& serialNumber, bool inBootloader) const;
};
