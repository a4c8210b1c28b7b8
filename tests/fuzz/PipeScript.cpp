#include "PipeScript.h"

#include "app/HException.h"
#include "device/FtdiProtocol.h"
#include "device/UsbIds.h"

#include <algorithm>
#include <cstring>

using namespace pipescript;

namespace {

constexpr int MAX_MILLISECONDS = 31;

quint8 milliseconds(quint32 ms) {
    return quint8(std::min<quint32>(ms, MAX_MILLISECONDS));
}

}  // namespace

QByteArray PipeLog::keep(const quint8* bytes, int length) {
    if (length <= 0) {
        return QByteArray();
    }
    if (length > CHUNK - used) {
        chunks.push_back(
            std::make_unique_for_overwrite<char[]>(size_t(std::max<qsizetype>(CHUNK, length))));
        used = 0;
    }
    char* copy = chunks.back().get() + used;
    std::memcpy(copy, bytes, size_t(length));
    used += length;
    return QByteArray::fromRawData(copy, length);
}

QByteArray PipeLog::written() const {
    QByteArray all;
    for (const QByteArray& bytes : writes) {
        all += bytes;
    }
    return all;
}

QByteArray PipeLog::readData() const {
    QByteArray data;
    for (const QByteArray& packet : reads) {
        data += packet.mid(ftdi::MODEM_STATUS_BYTES);
    }
    return data;
}

UsbDeviceInfo scriptedGeneration3Probe() {
    return {PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3, QStringLiteral("K3000001"),
            QStringLiteral("scripted:0")};
}

ScriptedPipes::ScriptedPipes(FuzzInput& script, VirtualClock& clock, PipeLog& log)
    : script(script), clock(clock), log(log) {
    ++log.pipesOpen;
}

ScriptedPipes::~ScriptedPipes() {
    --log.pipesOpen;
}

TransferResult ScriptedPipes::read(quint8* buffer, int maxLength, quint32 timeoutMs) {
    ++log.transfers;
    log.lastReadCompleted = false;
    if (script.empty()) {
        return TransferResult::failed();
    }
    const quint8 answer = script.byte();
    const quint8 outcome = answer % READ_OUTCOMES;
    if (outcome == READ_TIMED_OUT) {
        clock.advance(timeoutMs);
        return TransferResult::timedOut();
    }
    clock.advance(std::min<quint32>(answer / READ_OUTCOMES, timeoutMs));
    if (outcome == READ_FAILED) {
        return TransferResult::failed();
    }
    const int count = std::min<int>(script.byte(), std::max(maxLength, 0));
    // The input outlives the target's run: the log keeps a view of it, not a copy.
    const QByteArrayView bytes = script.view(count);
    std::memcpy(buffer, bytes.data(), size_t(bytes.size()));
    log.reads << QByteArray::fromRawData(bytes.data(), bytes.size());
    log.writesBeforeRead << log.writes.size();
    log.lastReadCompleted = true;
    return TransferResult::completed(int(bytes.size()));
}

TransferResult ScriptedPipes::write(const quint8* buffer, int length, quint32 timeoutMs) {
    ++log.transfers;
    if (script.empty()) {
        return TransferResult::failed();
    }
    const quint8 answer = script.byte();
    const quint8 outcome = answer % WRITE_OUTCOMES;
    if (outcome == WRITE_TIMED_OUT) {
        clock.advance(timeoutMs);
        return TransferResult::timedOut();
    }
    clock.advance(std::min<quint32>(answer / WRITE_OUTCOMES, timeoutMs));
    if (outcome == WRITE_FAILED) {
        return TransferResult::failed();
    }
    const int taken = outcome == WRITE_HALF ? length / 2 : length;
    log.writes << log.keep(buffer, taken);
    return TransferResult::completed(taken);
}

bool ScriptedPipes::control() {
    return !script.empty() && script.byte() != CONTROL_STALLS;
}

bool ScriptedPipes::resetPipe(quint8 /*flag*/) {
    return control();
}

bool ScriptedPipes::vendorRequest(quint8 /*request*/, quint16 /*value*/, quint16 /*index*/,
                                  const QByteArray& /*payload*/) {
    return control();
}

ScriptedBackend::ScriptedBackend(FuzzInput& script, VirtualClock& clock, PipeLog& log)
    : script(script), clock(clock), log(log) {}

UsbDeviceList ScriptedBackend::enumerate() {
    ++log.enumerations;
    UsbDeviceList devices;
    const int count = script.byte() % (MAX_DEVICES + 1);
    for (int n = 0; n < count; ++n) {
        const quint8 device = script.byte();
        QString serial = PROBE_SERIAL;
        if ((device & DEVICE_SHORT_SERIAL) != 0) {
            serial.chop(1);
        }
        devices.append(
            UsbDeviceInfo((device & DEVICE_OTHER_VENDOR) != 0 ? OTHER_VENDOR_ID : PROBE_VENDOR_ID,
                          PRODUCT_IDS[device % 4], serial, QStringLiteral("scripted:%1").arg(n)));
    }
    return devices;
}

std::unique_ptr<UsbPipes> ScriptedBackend::open(const UsbDeviceInfo& /*device*/) {
    ++log.opens;
    const quint8 answer = script.empty() ? OPEN_REFUSED : script.byte();
    if (answer == OPEN_BUSY) {
        throw HException("device already in use");
    }
    if (answer == OPEN_REFUSED) {
        throw HException("cannot open device driver");
    }
    return std::make_unique<ScriptedPipes>(script, clock, log);
}

TranscriptPipes::TranscriptPipes(std::unique_ptr<UsbPipes> pipes, QByteArray& script)
    : pipes(std::move(pipes)), script(script) {}

TransferResult TranscriptPipes::read(quint8* buffer, int maxLength, quint32 timeoutMs) {
    const quint32 start = tickCountMs();
    const TransferResult result = pipes->read(buffer, maxLength, timeoutMs);
    const quint8 ms = milliseconds(tickCountMs() - start);
    switch (result.status) {
        case TransferResult::Completed:
            script += char(ms * READ_OUTCOMES);
            script += char(result.count);
            script += QByteArray(reinterpret_cast<const char*>(buffer), result.count);
            break;
        case TransferResult::TimedOut:
            script += char(READ_TIMED_OUT);
            break;
        case TransferResult::NotStarted:
        case TransferResult::Failed:
            script += char(ms * READ_OUTCOMES + READ_FAILED);
            break;
    }
    return result;
}

TransferResult TranscriptPipes::write(const quint8* buffer, int length, quint32 timeoutMs) {
    const quint32 start = tickCountMs();
    const TransferResult result = pipes->write(buffer, length, timeoutMs);
    const quint8 ms = milliseconds(tickCountMs() - start);
    if (result.status == TransferResult::TimedOut) {
        script += char(WRITE_TIMED_OUT);
    } else if (!result.ok()) {
        script += char(ms * WRITE_OUTCOMES + WRITE_FAILED);
    } else {
        script += char(ms * WRITE_OUTCOMES + (result.count == length ? 0 : WRITE_HALF));
    }
    return result;
}

bool TranscriptPipes::resetPipe(quint8 flag) {
    const bool accepted = pipes->resetPipe(flag);
    script += char(accepted ? 0 : CONTROL_STALLS);
    return accepted;
}

bool TranscriptPipes::vendorRequest(quint8 request, quint16 value, quint16 index,
                                    const QByteArray& payload) {
    const bool accepted = pipes->vendorRequest(request, value, index, payload);
    script += char(accepted ? 0 : CONTROL_STALLS);
    return accepted;
}

TranscriptBackend::TranscriptBackend(UsbBackend& bus, QByteArray& script)
    : bus(bus), script(script) {}

UsbDeviceList TranscriptBackend::enumerate() {
    UsbDeviceList devices = bus.enumerate();
    script += char(std::min<qsizetype>(devices.size(), MAX_DEVICES));
    for (qsizetype n = 0; n < std::min<qsizetype>(devices.size(), MAX_DEVICES); ++n) {
        const UsbDeviceInfo& device = devices[n];
        const auto known =
            std::find(std::begin(PRODUCT_IDS), std::end(PRODUCT_IDS), device.productId);
        quint8 code = quint8(known == std::end(PRODUCT_IDS) ? 0 : known - std::begin(PRODUCT_IDS));
        if (device.vendorId != PROBE_VENDOR_ID) {
            code |= DEVICE_OTHER_VENDOR;
        }
        if (device.serialNumber().size() < PROBE_SERIAL.size()) {
            code |= DEVICE_SHORT_SERIAL;
        }
        script += char(code);
    }
    return devices;
}

std::unique_ptr<UsbPipes> TranscriptBackend::open(const UsbDeviceInfo& device) {
    try {
        std::unique_ptr<UsbPipes> pipes = bus.open(device);
        script += char(0);
        return std::make_unique<TranscriptPipes>(std::move(pipes), script);
    } catch (const HException& e) {
        script += char(std::strcmp(e.messageText(), "device already in use") == 0 ? OPEN_BUSY
                                                                                  : OPEN_REFUSED);
        throw;
    }
}
