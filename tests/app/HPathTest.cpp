#include "app/HPath.h"

#include <gtest/gtest.h>

namespace {

struct NormaliseCase {
    const char* input;
    const char* expected;
    friend void PrintTo(const NormaliseCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }
};

class HPathNormalise : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(HPathNormalise, FoldsDotComponents) {
    EXPECT_EQ(HPath(GetParam().input).text(), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HPathNormalise,
    ::testing::Values(
        NormaliseCase{"a/./b", "a/b"}, NormaliseCase{"a/.", "a"}, NormaliseCase{"a/./b/.", "a/b"},
        NormaliseCase{"E:/x/y/../z", "E:/x/z"}, NormaliseCase{"E:\\a\\b\\..\\fw", "E:\\a\\fw"},
        NormaliseCase{"a/../b", "a/../b"}, NormaliseCase{"../b", "../b"},
        NormaliseCase{"./b", "./b"}, NormaliseCase{"", ""},
        NormaliseCase{"/opt/kv/./fw/../bin", "/opt/kv/bin"}, NormaliseCase{"/x/y/../../z", "/z"},
        NormaliseCase{"x/y/..", "x"}, NormaliseCase{"/usr/../..", "/.."},
        NormaliseCase{"a\\.\\b", "a\\b"},
        // Names that merely begin with dots are names, not "." or ".." components.
        NormaliseCase{"/home/u/.local/fw", "/home/u/.local/fw"},
        NormaliseCase{"x/a/..y", "x/a/..y"}, NormaliseCase{"x/.../y", "x/.../y"},
        NormaliseCase{"file.bin", "file.bin"}, NormaliseCase{"/a/b.c/./d", "/a/b.c/d"},
        // Folding everything away keeps the root instead of yielding the current directory.
        NormaliseCase{"/.", "/"}, NormaliseCase{"/a/..", "/"}));

struct NativeCase {
    const char* input;
    const char* expected;
    friend void PrintTo(const NativeCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }
};

class HPathNative : public ::testing::TestWithParam<NativeCase> {};

// On Linux the native separator is '/': backslashes become slashes and one trailing
// separator goes, except the root directory's only one.
TEST_P(HPathNative, UsesNativeSeparatorsWithoutOneTrailingSeparator) {
    HPath path(GetParam().input);
    EXPECT_EQ(path.nativePath(), QString::fromUtf8(GetParam().expected));
    EXPECT_STREQ(path.nativePathAscii(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, HPathNative,
                         ::testing::Values(NativeCase{"E:/fw/", "E:/fw"},
                                           NativeCase{"E:\\fw\\\\", "E:/fw/"},
                                           NativeCase{"E:\\a\\b\\..\\fw", "E:/a/fw"},
                                           NativeCase{"", ""}, NativeCase{"/", "/"},
                                           NativeCase{"\\", "/"}, NativeCase{"//", "/"},
                                           NativeCase{"/opt/kv/fw", "/opt/kv/fw"}));

TEST(HPath, DefaultIsEmpty) {
    const HPath path;
    EXPECT_EQ(path.text(), QString());
    EXPECT_EQ(path.nativePath(), QString());
}

TEST(HPath, NativeConversionIsSeenByEveryHandleSharingTheData) {
    HPath original("C:\\fw\\");
    const HPath copy = original;
    HPath assigned;
    assigned = original;
    EXPECT_EQ(original.useCount(), 3);

    EXPECT_EQ(copy.text(), QStringLiteral("C:\\fw\\"));
    EXPECT_EQ(original.nativePath(), QStringLiteral("C:/fw"));
    EXPECT_EQ(copy.text(), QStringLiteral("C:/fw"));
    EXPECT_EQ(assigned.text(), QStringLiteral("C:/fw"));
    // Converting again changes nothing more.
    EXPECT_EQ(copy.nativePath(), QStringLiteral("C:/fw"));
}

TEST(HPath, ReassignmentReleasesTheOldDataAndSelfAssignmentIsHarmless) {
    HPath a("/a");
    HPath b("/b");
    const HPath alsoA = a;
    EXPECT_EQ(a.useCount(), 2);
    a = b;
    EXPECT_EQ(alsoA.useCount(), 1);
    EXPECT_EQ(b.useCount(), 2);
    HPath& self = b;
    b = self;
    EXPECT_EQ(b.useCount(), 2);
    EXPECT_EQ(b.text(), QStringLiteral("/b"));
}

TEST(HPath, EightBitConstructorKeepsNonAsciiText) {
    const HPath path("/home/jürgen/fw/");
    EXPECT_EQ(path.nativePath(), QStringLiteral("/home/jürgen/fw"));
    EXPECT_STREQ(path.nativePathAscii(), "/home/jürgen/fw");
}

}  // namespace
