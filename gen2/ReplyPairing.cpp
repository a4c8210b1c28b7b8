#include "gen2/ReplyPairing.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Where session seeds come from while a ScopedSeeds lives; empty: the system's generator.
std::function<quint64()>& seedSource() {
    static std::function<quint64()> source;
    return source;
}

}  // namespace

kv2::Packet ReplyPairing::Request::packet(const kv2::Block& block, QByteArrayView data) const {
    kv2::Packet packet = kv2::blockPacket(kv2::Command::Verify, block.address, data);
    if (decoy) {
        // XORs the whole data area a word at a time, then restores the zero fill behind
        // the block's bytes.
        quint8* area = packet.data() + kv2::DATA_OFFSET;
        for (size_t at = 0; at < mask.size(); at += sizeof(quint64)) {
            quint64 word = 0;
            quint64 bits = 0;
            std::memcpy(&word, area + at, sizeof word);
            std::memcpy(&bits, mask.data() + at, sizeof bits);
            word ^= bits;
            std::memcpy(area + at, &word, sizeof word);
        }
        const auto size = size_t(std::clamp<qsizetype>(data.size(), 0, kv2::MAX_BLOCK_SIZE));
        std::memset(area + size, 0, mask.size() - size);
    }
    return packet;
}

ReplyPairing::ReplyPairing(int blocks, quint64 seed) : ReplyPairing(blocks, seed, Shape()) {}

ReplyPairing::ReplyPairing(int blocks, quint64 seed, const Shape& shape)
    : shape(shape), blocks(std::max(blocks, 0)), random(seed) {
    this->shape.resyncLength = std::clamp(shape.resyncLength, 1, int(pattern.size()));
    this->shape.maxStale = std::max(shape.maxStale, 0);
    this->shape.decoyOneIn = std::max(shape.decoyOneIn, 1);
    this->shape.trailerLength = std::max(shape.trailerLength, 0);
    if (this->blocks == 0)
        current = Phase::Done;
}

ReplyPairing::Request ReplyPairing::draw(bool decoy, int block) {
    Request request;
    request.block = block;
    request.decoy = decoy;
    if (decoy) {
        for (size_t at = 0; at < request.mask.size(); at += sizeof(quint64)) {
            const quint64 bits = random();
            std::memcpy(request.mask.data() + at, &bits, sizeof bits);
        }
        // Never all zero: the first byte, which every block has, always changes.
        request.mask[0] = quint8(1 + random() % 255);
    }
    return request;
}

ReplyPairing::Request ReplyPairing::realOrDecoy(bool decoy) {
    return draw(decoy, int(random() % quint64(blocks)));
}

std::optional<ReplyPairing::Request> ReplyPairing::next() {
    pending.reset();
    switch (current) {
        case Phase::Resync:
            if (sent == shape.resyncLength)
                return std::nullopt;  // looking past stale answers: read without sending
            // The first a decoy, so that stale matches ahead of the pattern never pass for
            // its start; the others fair coins. All of the first block: a wrong block is
            // found where its turn comes (or here, when it is the first).
            pending = draw(sent == 0 || (random() & 1) != 0, 0);
            pattern[size_t(sent)] = pending->expected();
            break;
        case Phase::Blocks:
            pending = random() % quint64(shape.decoyOneIn) == 0 ? realOrDecoy(true)
                                                                : draw(false, nextBlock);
            break;
        case Phase::Trailer:
            pending = realOrDecoy((random() & 1) != 0);
            break;
        case Phase::Done:
            return std::nullopt;
    }
    ++sent;
    return pending;
}

bool ReplyPairing::resyncFound() const {
    const int length = shape.resyncLength;
    for (int i = 0; i < length; ++i) {
        // window holds answer n at n % length; the oldest of the last `length` comes first.
        if (window[size_t((read - length + i) % length)] != pattern[size_t(i)])
            return false;
    }
    return true;
}

bool ReplyPairing::observe(Answer answer) {
    switch (current) {
        case Phase::Resync:
            window[size_t(read % shape.resyncLength)] = answer;
            ++read;
            if (read < shape.resyncLength)
                return true;
            if (resyncFound()) {
                // Whatever was read beyond the pattern came ahead of its answers: stale.
                stale = read - shape.resyncLength;
                current = Phase::Blocks;
                sent = read = 0;
                return true;
            }
            return read - shape.resyncLength < shape.maxStale;
        case Phase::Blocks:
        case Phase::Trailer:
            // Why a download that passes here is sound. Out of step, the packet read for
            // request j is determined before request j was drawn: it answers an earlier
            // request, or is stale. It matches the answer that request j expects with
            // probability 1 - d at most, d being the chance that request j is a decoy
            // (d <= 1/2; 1/2 in the trailer and the resync, 1/DECOY_ONE_IN among the
            // blocks), independently of every read before it. An out-of-step host stays
            // out of step to the end, so it passes the trailer with probability 2^-T at
            // most (T = TRAILER_LENGTH: 2^-32), whatever the number of extra replies and
            // however late they came. If a reply is lost while an extra one is queued, the
            // host is in step again after a window of W reads out of step: it passes such
            // a window with probability (1 - d)^W at most. This rests on one assumption:
            // whether the bootloader sends an extra reply (twice, late, from an old
            // session) does not depend on whether a Verify carried right or wrong data.
            if (!pending || answer != pending->expected())
                return false;
            if (current == Phase::Blocks && !pending->decoy && ++nextBlock == blocks) {
                current = shape.trailerLength > 0 ? Phase::Trailer : Phase::Done;
                sent = read = 0;
            } else if (current == Phase::Trailer && ++read == shape.trailerLength) {
                current = Phase::Done;
            }
            return true;
        case Phase::Done:
            return false;  // nothing more is expected
    }
    return false;
}

quint64 ReplyPairing::sessionSeed() {
    const std::function<quint64()>& source = seedSource();
    return source ? source() : QRandomGenerator::system()->generate64();
}

ReplyPairing::ScopedSeeds::ScopedSeeds(std::function<quint64()> seeds)
    : previous(std::exchange(seedSource(), std::move(seeds))) {}

ReplyPairing::ScopedSeeds::~ScopedSeeds() {
    seedSource() = std::move(previous);
}
