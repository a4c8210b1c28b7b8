#include "Crc32Reference.h"
#include "gen3/Crc32.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

quint32 crcOf(const QByteArray& bytes) {
    return computeCrc32(bytes.constData(), std::size_t(bytes.size()));
}

struct KnownCrc {
    const char* name;
    QByteArray input;
    quint32 crc;
    friend void PrintTo(const KnownCrc& c, std::ostream* os) { *os << c.name; }
};

class Crc32Known : public ::testing::TestWithParam<KnownCrc> {};

TEST_P(Crc32Known, MatchesPublishedValue) {
    EXPECT_EQ(crcOf(GetParam().input), GetParam().crc);
    EXPECT_EQ(
        crc32BitwiseReference(GetParam().input.constData(), std::size_t(GetParam().input.size())),
        GetParam().crc);
}

// The check value of CRC-32/BZIP2 and a few values that pin the parameters down: a
// reflected CRC-32 gives 0xCBF43926 for the check string, an unreflected one without the
// final XOR 0x0376E6E7.
INSTANTIATE_TEST_SUITE_P(Values, Crc32Known,
                         ::testing::Values(KnownCrc{"check", "123456789", 0xFC891918},
                                           KnownCrc{"empty", QByteArray(), 0x00000000},
                                           KnownCrc{"oneZero", QByteArray(1, '\0'), 0xB1F7404B},
                                           KnownCrc{"oneFF", QByteArray(1, '\xFF'), 0x000000FF}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Crc32, EqualsBitwiseReferenceOnRandomDataOfEveryAlignmentAndLength) {
    std::mt19937 random(4242);
    std::vector<quint8> data(20000);
    for (quint8& byte : data) {
        byte = quint8(random());
    }
    // Every length up to two folds of eight plus a tail, at every start offset mod 8, and
    // chunk-sized ranges.
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length <= 40; ++length) {
            ASSERT_EQ(computeCrc32(data.data() + offset, length),
                      crc32BitwiseReference(data.data() + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
    for (std::size_t length : {1u, 63u, 64u, 8191u, 8192u, 8193u, 19992u}) {
        EXPECT_EQ(computeCrc32(data.data() + 3, length),
                  crc32BitwiseReference(data.data() + 3, length))
            << "length " << length;
    }
}

}  // namespace
