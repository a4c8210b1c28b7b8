#pragma once

#include "gen2/KV2Protocol.h"

#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <functional>
#include <optional>
#include <random>

// Pairs the bootloader's Verify answers with the Verify requests they answer, on a link
// without sequence numbers, by asking questions whose answers the host knows in advance.
//
// The model. The bootloader's replies form a queue of 64-byte packets. During the verify
// phase the host sends one request and reads one reply at a time, and a read that times
// out ends the download; so in a download that can succeed every read got some packet.
// What goes wrong only ever puts packets ahead of the genuine answers: an answer to an
// earlier request that came after its read gave up (in the wait for the bootloader, or in
// an earlier session), an answer sent twice, an answer from a reused reply buffer (which
// changes bytes 1 to 63, never what byte 0 says). So the packet read for request j is the
// genuine answer to request j or, once the host is out of step, a copy of the answer to an
// earlier request or a stale packet: never an answer to request j or a later one, which
// the bootloader has not seen yet. Out of step, the host stays out of step to the end,
// unless a reply is lost while an extra one is queued (two faults together).
//
// Known answers. Once the image is programmed, a Verify of a block with the image's bytes
// must answer a match (a real request), and a Verify of the same block with bytes the
// host made wrong must answer a mismatch (a decoy: the image's bytes XORed with a random
// mask that is never all zero, so that they always differ from them; never a fixed
// inversion, which erased flash could match). Both are plain Verify packets of programmed
// blocks, which the bootloader answers anyway: no new command, no Program repeated.
//
// The pattern, drawn afresh for every session from its own seed:
//   1. Resync: RESYNC_LENGTH requests of the first block, real or decoy at random, the
//      first a decoy, one reply read after each; then up to MAX_STALE more replies read
//      without sending, until the last RESYNC_LENGTH answers read are the pattern's. The
//      replies read beyond the pattern's length were stale (typically the late answers to
//      the wait's ReadInfo requests) and are set aside. Not found: the download fails. A
//      false find is harmless to soundness (what follows catches it); it costs an install.
//   2. Blocks: the real Verify of every block in address order; before each request, a
//      decoy of a random block instead with probability 1/DECOY_ONE_IN.
//   3. Trailer: TRAILER_LENGTH requests, each a fair coin: a real Verify of a random block
//      (all verified by now) or a decoy.
// Every answer must be the one its request expects; the first that is not fails the
// download, and only a download whose every answer was expected may end with EndDownload.
class ReplyPairing {
public:
    enum class Answer : quint8 { Match, Mismatch };
    enum class Phase { Resync, Blocks, Trailer, Done };

    // One Verify the host sends: a block of the download (its index) with the image's
    // bytes, or a decoy of it with its bytes XORed with `mask`.
    struct Request {
        int block = 0;
        bool decoy = false;
        std::array<quint8, kv2::MAX_BLOCK_SIZE> mask{};
        static_assert(kv2::MAX_BLOCK_SIZE % sizeof(quint64) == 0);

        Answer expected() const { return decoy ? Answer::Mismatch : Answer::Match; }
        // The Verify packet for `block`, whose bytes in the image are `data`.
        kv2::Packet packet(const kv2::Block& block, QByteArrayView data) const;
    };

    static constexpr int RESYNC_LENGTH = 16;
    // Stale replies the resync looks past at most: more than two waits for the bootloader
    // can leave unread (60 ReadInfo requests each).
    static constexpr int MAX_STALE = 128;
    static constexpr int DECOY_ONE_IN = 16;
    static constexpr int TRAILER_LENGTH = 32;
    // The pattern's proportions; a download uses the defaults, tests smaller ones. The
    // resync is at most 64 requests long.
    struct Shape {
        int resyncLength = RESYNC_LENGTH;
        int maxStale = MAX_STALE;
        int decoyOneIn = DECOY_ONE_IN;
        int trailerLength = TRAILER_LENGTH;
    };

    // The pattern for a download of `blocks` blocks, drawn from `seed`. A download without
    // blocks has nothing to verify and is done at once.
    ReplyPairing(int blocks, quint64 seed);
    ReplyPairing(int blocks, quint64 seed, const Shape& shape);

    Phase phase() const { return current; }
    // The Verify to send before the next read; none when the next reply is to be read
    // without sending (the resync looking past stale answers). Call once per read.
    std::optional<Request> next();
    // The answer of the reply read after next(). False when it cannot be the answer the
    // pairing expects there: the download has failed and must send nothing more.
    bool observe(Answer answer);
    // The stale replies the resync set aside.
    int staleAnswers() const { return stale; }

    // A new seed for one session: from the system's random generator, or from the source
    // a ScopedSeeds installed.
    static quint64 sessionSeed();
    // Makes `seeds` the source of session seeds while this object lives (tests replay
    // sessions with known patterns).
    class ScopedSeeds {
    public:
        explicit ScopedSeeds(std::function<quint64()> seeds);
        ~ScopedSeeds();
        ScopedSeeds(const ScopedSeeds&) = delete;
        ScopedSeeds& operator=(const ScopedSeeds&) = delete;

    private:
        std::function<quint64()> previous;
    };

private:
    Request draw(bool decoy, int block);
    Request realOrDecoy(bool decoy);
    bool resyncFound() const;

    Shape shape;
    int blocks;
    std::mt19937_64 random;
    Phase current = Phase::Resync;
    std::array<Answer, 64> pattern{};  // the resync's expected answers (at most 64)
    std::array<Answer, 64> window{};   // the last answers read in the resync, as a ring
    int sent = 0;                      // requests of the current phase sent
    int read = 0;                      // answers of the current phase read
    int nextBlock = 0;                 // the next block whose real Verify is due
    int stale = 0;
    std::optional<Request> pending;  // sent, its answer not read yet
};
