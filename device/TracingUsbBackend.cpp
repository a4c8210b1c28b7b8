#include "device/TracingUsbBackend.h"

#include "app/Clock.h"
#include "app/HException.h"

struct TracingUsbBackend::State {
    Trace trace;
    QString lastUsbError;
    int failures = 0;
    QString lastLine;  // the last line told, without its time
    int repeats = 0;   // how often it came again since

    void note(const QString& line) {
        if (!trace) {
            return;
        }
        if (line == lastLine) {
            ++repeats;
            return;
        }
        flush();
        trace(QStringLiteral("[%1 ms] %2").arg(tickCountMs(), 7).arg(line));
        lastLine = line;
    }
    void flush() {
        if (trace && repeats > 0) {
            trace(QStringLiteral("          (the same %1 more time%2)")
                      .arg(repeats)
                      .arg(repeats == 1 ? "" : "s"));
        }
        repeats = 0;
    }
    // Keeps `error` as the reason behind the last failure; returns it as " (error)" for the
    // failure's line, or nothing when there is none.
    QString failed(const QString& error) {
        lastUsbError = error;
        ++failures;
        return error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error);
    }
};

namespace {

// Up to `limit` bytes in hexadecimal, separated by spaces, then "... (N bytes)" when there
// are more.
QString hexPreview(const quint8* bytes, int count, int limit = 24) {
    if (count <= 0 || bytes == nullptr) {
        return QStringLiteral("-");
    }
    const int shown = std::min(count, limit);
    QString text = QByteArray(reinterpret_cast<const char*>(bytes), shown).toHex(' ');
    if (shown < count) {
        text += QStringLiteral(" ... (%1 bytes)").arg(count);
    }
    return text;
}

QString outcomeText(const TransferResult& result) {
    switch (result.status) {
        case TransferResult::Completed:
            return QString();
        case TransferResult::TimedOut:
            return QStringLiteral("timed out");
        case TransferResult::NotStarted:
            return QStringLiteral("not started");
        case TransferResult::Failed:
            break;
    }
    return QStringLiteral("failed");
}

// The pipes of one device, passing everything to the backend's pipes and telling it.
class TracingPipes : public UsbPipes {
public:
    TracingPipes(std::unique_ptr<UsbPipes> inner, QString label,
                 std::shared_ptr<TracingUsbBackend::State> state)
        : inner(std::move(inner)), label(std::move(label)), state(std::move(state)) {}

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override {
        const TransferResult result = inner->read(buffer, maxLength, timeoutMs);
        tell(QStringLiteral("in"), result, buffer);
        return result;
    }
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override {
        const TransferResult result = inner->write(buffer, length, timeoutMs);
        tell(QStringLiteral("out"), result, buffer, length);
        return result;
    }
    bool resetPipe(quint8 flag) override {
        const bool ok = inner->resetPipe(flag);
        control(QStringLiteral("pipe reset"), ok);
        return ok;
    }
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override {
        const bool ok = inner->vendorRequest(request, value, index, payload);
        control(QStringLiteral("vendor request %1 value %2 index %3")
                    .arg(request)
                    .arg(value)
                    .arg(index),
                ok);
        return ok;
    }
    QString lastError() const override { return inner->lastError(); }

private:
    void tell(const QString& direction, const TransferResult& result, const quint8* bytes,
              int requested = -1) {
        QString line = QStringLiteral("%1 %2").arg(label, direction);
        if (result.ok()) {
            line +=
                QStringLiteral(" %1: %2").arg(result.count).arg(hexPreview(bytes, result.count));
            if (requested >= 0 && result.count != requested) {
                line += QStringLiteral(" (of %1)").arg(requested);
            }
        } else {
            line += u' ' + outcomeText(result) + state->failed(inner->lastError());
        }
        state->note(line);
    }
    void control(const QString& what, bool ok) {
        if (!ok) {
            state->failed(inner->lastError());
        }
        state->note(QStringLiteral("%1 %2: %3")
                        .arg(label, what,
                             ok ? QStringLiteral("ok")
                                : QStringLiteral("stalled (%1)").arg(inner->lastError())));
    }

    std::unique_ptr<UsbPipes> inner;
    QString label;
    std::shared_ptr<TracingUsbBackend::State> state;
};

}  // namespace

TracingUsbBackend::TracingUsbBackend(std::unique_ptr<UsbBackend> inner, Trace trace)
    : inner(std::move(inner)), state(std::make_shared<State>()) {
    state->trace = std::move(trace);
}

TracingUsbBackend::~TracingUsbBackend() {
    flush();
}

UsbDeviceList TracingUsbBackend::enumerate() {
    return inner->enumerate();
}

std::unique_ptr<UsbPipes> TracingUsbBackend::open(const UsbDeviceInfo& device) {
    const QString label =
        device.serialNumber().isEmpty() ? device.devicePath() : device.serialNumber();
    try {
        std::unique_ptr<UsbPipes> pipes = inner->open(device);
        state->note(QStringLiteral("%1 opened (%2)").arg(label, device.devicePath()));
        return std::make_unique<TracingPipes>(std::move(pipes), label, state);
    } catch (const HException& e) {
        state->note(
            QStringLiteral("%1 not opened (%2): %3%4")
                .arg(label, device.devicePath(), messageOf(e), state->failed(inner->lastError())));
        throw;
    }
}

QString TracingUsbBackend::lastError() const {
    return inner->lastError();
}

int TracingUsbBackend::failuresSeen() const {
    return state->failures;
}

QString TracingUsbBackend::lastUsbError() const {
    return state->lastUsbError;
}

void TracingUsbBackend::flush() {
    state->flush();
}
