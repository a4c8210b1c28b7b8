#include "emu/Gen2ProbeOptions.h"

#include "emu/EmulatorSetup.h"
#include "emu/Gen2Probe.h"
#include "emu/RawPacketPipe.h"
#include "gen2/KV2Variant.h"

namespace {

constexpr QLatin1String VERSION("version");
constexpr QLatin1String VARIANT("variant");
constexpr QLatin1String FLAGS("flags");
constexpr QLatin1String REBOOT("reboot");
constexpr QLatin1String FAULT("fault");
constexpr QLatin1String ENTER("enter");
constexpr QLatin1String STALE("stale");
constexpr QLatin1String BUFFER("buffer");

QString parseVariant(const QString& text, quint16& flags) {
    const QStringList parts = text.toLower().split(u'-');
    if (parts.size() == 2) {
        for (const kv2::TargetFamily family : kv2::TARGET_FAMILIES) {
            for (const kv2::JtagClocking clocking : kv2::JTAG_CLOCKINGS) {
                if (parts[0] == kv2::familyFilePart(family) &&
                    parts[1] == kv2::clockingFilePart(clocking)) {
                    flags = kv2::flagsOf(family, clocking);
                    return QString();
                }
            }
        }
    }
    return QStringLiteral("variant \"%1\" is not alder, birch or cedar, then -max or -var")
        .arg(text);
}

QString parseFault(const QString& fault, Gen2ProbeOptions& parsed) {
    const qsizetype at = fault.indexOf(u'@');
    const QString name = fault.left(at).trimmed().toLower();
    const QString count = at < 0 ? QString() : fault.mid(at + 1);
    const auto needCount = [&](qint64 maximum) -> std::optional<qint64> {
        if (at < 0)
            return std::nullopt;
        return optionNumber(count, maximum);
    };
    const auto bad = [&] { return QStringLiteral("fault \"%1\" not understood").arg(fault); };
    if (name == u"never" && at < 0) {
        parsed.bootloaderNeverAppears = true;
    } else if (name == u"app") {
        const auto n = needCount(1000);
        if (!n)
            return bad();
        parsed.applicationAnswers = int(*n);
    } else if (name == u"verify") {
        const auto k = needCount(Gen2Probe::FLASH_SIZE);
        if (!k)
            return bad();
        parsed.corruptBlock = int(*k);
    } else if (name == u"mute") {
        const auto n = at < 0 ? std::optional<qint64>(-1) : needCount(1000000);
        if (!n)
            return bad();
        parsed.withheldReplies = int(*n);
    } else if (name == u"twice") {
        const auto n = needCount(1000000);
        if (!n || *n < 1)
            return bad();
        parsed.answeredTwice.append(int(*n));
    } else if (name == u"unplug") {
        const auto n = needCount(qint64(1) << 40);
        if (!n)
            return bad();
        parsed.unplugAfterBytes = *n;
    } else {
        return bad();
    }
    return QString();
}

}  // namespace

Gen2ProbeOptions::Gen2ProbeOptions() : rebootMs(Gen2Probe::DEFAULT_REBOOT_MS) {}

QStringList Gen2ProbeOptions::names(bool inBootloader) {
    const QStringList common = QStringList{REBOOT, ENTER, BUFFER, FAULT} + ReplyTiming::keys();
    if (inBootloader)
        return common + QStringList{STALE};
    return QStringList{VERSION, VARIANT, FLAGS} + common;
}

QString Gen2ProbeOptions::parse(const QMap<QString, QString>& options, bool inBootloader,
                                Gen2ProbeOptions& parsed) {
    Gen2ProbeOptions result;
    for (auto it = options.begin(); it != options.end(); ++it) {
        if (it.key() != u"serial" && !names(inBootloader).contains(it.key()))
            return QStringLiteral("option \"%1\" not understood").arg(it.key());
    }
    if (options.contains(VERSION)) {
        const QStringList parts = options.value(VERSION).split(u'.');
        const auto major = parts.size() == 2 ? optionNumber(parts[0], 0xFFFF) : std::nullopt;
        const auto minor = parts.size() == 2 ? optionNumber(parts[1], 0xFFFF) : std::nullopt;
        if (!major || !minor)
            return QStringLiteral("version \"%1\" is not MAJOR.MINOR").arg(options.value(VERSION));
        result.application.versionMajor = quint16(*major);
        result.application.versionMinor = quint16(*minor);
    }
    if (options.contains(VARIANT)) {
        QString problem = parseVariant(options.value(VARIANT), result.application.flags);
        if (!problem.isEmpty())
            return problem;
    }
    if (!readOptionNumber(options, FLAGS, 0xFFFF, result.application.flags))
        return QStringLiteral("flags \"%1\" is not a 16-bit number").arg(options.value(FLAGS));
    if (!readOptionNumber(options, REBOOT, Gen2Probe::NEVER_MS, result.rebootMs))
        return QStringLiteral("reboot \"%1\" is not a time in milliseconds")
            .arg(options.value(REBOOT));
    if (options.contains(ENTER)) {
        const QString enter = options.value(ENTER).toLower();
        if (enter != u"restart" && enter != u"ignore")
            return QStringLiteral("enter \"%1\" is not restart or ignore").arg(enter);
        result.bootloaderIgnoresEnter = enter == u"ignore";
    }
    if (options.contains(BUFFER)) {
        const QString buffer = options.value(BUFFER).toLower();
        if (buffer != u"reuse" && buffer != u"fresh")
            return QStringLiteral("buffer \"%1\" is not reuse or fresh").arg(buffer);
        result.reusesReplyBuffer = buffer == u"reuse";
    }
    if (!readOptionNumber(options, STALE, 64, result.staleReplies))
        return QStringLiteral("stale \"%1\" is not a count from 0 to 64").arg(options.value(STALE));
    QString timingProblem = ReplyTiming::parse(options, result.timing);
    if (!timingProblem.isEmpty())
        return timingProblem;
    if (options.contains(FAULT)) {
        for (const QString& fault : options.value(FAULT).split(u'+', Qt::SkipEmptyParts)) {
            QString problem = parseFault(fault, result);
            if (!problem.isEmpty())
                return problem;
        }
    }
    parsed = result;
    return QString();
}

std::shared_ptr<EmulatedDevice> Gen2ProbeOptions::create(const QString& serialNumber,
                                                         bool inBootloader) const {
    auto probe = inBootloader ? std::make_unique<Gen2Probe>()
                              : std::make_unique<Gen2Probe>(application, serialNumber);
    probe->setRebootMs(rebootMs);
    if (bootloaderNeverAppears)
        probe->bootloaderNeverAppears();
    probe->applicationKeepsAnswering(applicationAnswers);
    probe->corruptBlock(corruptBlock);
    probe->withholdReplies(withheldReplies);
    probe->setIgnoresEnterBootloader(bootloaderIgnoresEnter);
    for (const int reply : answeredTwice)
        probe->answerTwice(reply);
    probe->setReusesReplyBuffer(reusesReplyBuffer);
    auto device = makeGen2Device(std::move(probe), serialNumber);
    auto* pipe = dynamic_cast<RawPacketPipe*>(device->function());
    pipe->setReplyTiming(timing);
    for (int n = 0; n < staleReplies; ++n)
        pipe->queueLeftOver(kv2::bytesOf(kv2::verifyReply(true)).toByteArray());
    if (unplugAfterBytes)
        device->faults().unplugAfter(UsbFrame::Direction::Out, *unplugAfterBytes);
    return device;
}
