// Host time of Ftd2xxDataLink::read for 1 MiB in 8192-byte reads from a generation-3
// probe that always has data (every packet full: 2 status bytes + 62 data bytes), on a
// virtual clock so that nothing sleeps. Reported: MB/s, and the host time as a share of
// what a full-speed USB link (about 1.2 MB/s) needs for the same bytes. Target: under 5 %.
//
// Two set-ups: through the emulated device (transport faults, frame log switched off,
// locking), and over bare pipes that only copy a packet, which leaves the link's own cost.
#include "app/Clock.h"
#include "device/Ftd2xxDataLink.h"
#include "device/FtdiProtocol.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstring>

namespace {

constexpr int TOTAL_BYTES = 1 << 20;
constexpr int READ_SIZE = 8192;
constexpr double FULL_SPEED_BYTES_PER_SECOND = 1.2e6;

// One full packet: the modem-status bytes and 62 data bytes.
std::array<quint8, ftdi::PACKET_SIZE> fullPacket() {
    std::array<quint8, ftdi::PACKET_SIZE> packet{};
    packet[0] = 0x31;
    packet[1] = 0x60;
    for (int i = ftdi::MODEM_STATUS_BYTES; i < ftdi::PACKET_SIZE; ++i) {
        packet[static_cast<size_t>(i)] = static_cast<quint8>(i);
    }
    return packet;
}

// A device function that always has a full packet ready.
class AlwaysFull : public UsbFunction {
public:
    void bulkOut(const QByteArray&, quint32) override {}
    quint32 bulkInDelay(quint32) override { return 0; }
    int bulkIn(quint8* buffer, int maxLength, quint32) override {
        const int count = std::min(maxLength, ftdi::PACKET_SIZE);
        std::memcpy(buffer, packet.data(), static_cast<size_t>(count));
        return count;
    }
    bool controlOut(const ControlRequest&, quint32) override { return true; }

private:
    const std::array<quint8, ftdi::PACKET_SIZE> packet = fullPacket();
};

// Pipes with nothing behind them but a full packet.
class BarePipes : public UsbPipes {
public:
    TransferResult read(quint8* buffer, int maxLength, quint32) override {
        const int count = std::min(maxLength, ftdi::PACKET_SIZE);
        std::memcpy(buffer, packet.data(), static_cast<size_t>(count));
        return TransferResult::completed(count);
    }
    TransferResult write(const quint8*, int length, quint32) override {
        return TransferResult::completed(length);
    }
    bool resetPipe(quint8) override { return true; }
    bool vendorRequest(quint8, quint16, quint16, const QByteArray&) override { return true; }

private:
    const std::array<quint8, ftdi::PACKET_SIZE> packet = fullPacket();
};

class BareBackend : public UsbBackend {
public:
    UsbDeviceList enumerate() override { return {}; }
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo&) override {
        return std::make_unique<BarePipes>();
    }
};

void readOneMebibyte(benchmark::State& state, Ftd2xxDataLink& link) {
    std::vector<char> buffer(READ_SIZE);
    std::chrono::duration<double> hostTime{0};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int done = 0; done < TOTAL_BYTES; done += READ_SIZE) {
            if (link.read(buffer.data(), READ_SIZE) != READ_SIZE) {
                state.SkipWithError("short read");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
        hostTime += std::chrono::steady_clock::now() - start;
    }
    state.SetBytesProcessed(state.iterations() * TOTAL_BYTES);
    const double perMebibyte = hostTime.count() / static_cast<double>(state.iterations());
    state.counters["MB_per_s"] = TOTAL_BYTES / perMebibyte / 1e6;
    // Host time per MiB against the time full-speed USB takes for it, in percent.
    state.counters["pct_of_full_speed_time"] =
        100.0 * perMebibyte / (TOTAL_BYTES / FULL_SPEED_BYTES_PER_SECOND);
}

void BM_Ftd2xxRead1MiB_EmulatedDevice(benchmark::State& state) {
    VirtualClock clock;
    ScopedClock scopedClock(clock);
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    auto device = std::make_shared<EmulatedDevice>(0x131B, 3, QStringLiteral("K3BENCH"),
                                                   std::make_unique<AlwaysFull>());
    device->frameLog().setEnabled(false);
    bus->attach(device);
    Ftd2xxDataLink link(bus->enumerate().first());
    readOneMebibyte(state, link);
}
BENCHMARK(BM_Ftd2xxRead1MiB_EmulatedDevice)->Unit(benchmark::kMillisecond);

void BM_Ftd2xxRead1MiB_BarePipes(benchmark::State& state) {
    ScopedUsbBackend backend{std::make_unique<BareBackend>()};
    Ftd2xxDataLink link(UsbDeviceInfo(0x131B, 3, QStringLiteral("K3BENCH"), "bench"));
    readOneMebibyte(state, link);
}
BENCHMARK(BM_Ftd2xxRead1MiB_BarePipes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
