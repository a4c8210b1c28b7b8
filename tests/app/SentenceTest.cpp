#include "app/Sentence.h"

#include <gtest/gtest.h>

namespace {

struct SentenceCase {
    const char* text;
    const char* sentence;
    friend void PrintTo(const SentenceCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class AsSentence : public ::testing::TestWithParam<SentenceCase> {};

TEST_P(AsSentence, CapitalisesAndEndsWithOneFullStop) {
    EXPECT_EQ(asSentence(QString::fromUtf8(GetParam().text)),
              QString::fromUtf8(GetParam().sentence));
}

INSTANTIATE_TEST_SUITE_P(Cases, AsSentence,
                         ::testing::Values(SentenceCase{"", ""},
                                           SentenceCase{"read timed out", "Read timed out."},
                                           SentenceCase{"Device ready.", "Device ready."},
                                           SentenceCase{"x", "X."}, SentenceCase{".", "."},
                                           SentenceCase{"éclair", "Éclair."},
                                           SentenceCase{"3 bytes", "3 bytes."},
                                           SentenceCase{"ends with dots..", "Ends with dots.."}));

}  // namespace
