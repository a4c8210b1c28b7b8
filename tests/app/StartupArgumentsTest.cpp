#include "app/ExecutableDirectory.h"
#include "app/FirmwareDirectory.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

TEST(StartupArguments, WithoutArgumentTheProgramDirectoryInNativeForm) {
    const HPath directory = firmwareDirectoryFromArguments({QStringLiteral("kvtool")});
    EXPECT_EQ(directory.nativePath(), QCoreApplication::applicationDirPath());
    EXPECT_FALSE(directory.nativePath().endsWith(u'/'));
}

TEST(StartupArguments, FirstArgumentIsTakenNormalisedAndLaterOnesIgnored) {
    EXPECT_EQ(firmwareDirectoryFromArguments({"kvtool", "E:/fw/"}).nativePath(), "E:/fw");
    EXPECT_EQ(firmwareDirectoryFromArguments({"kvtool", "E:\\a\\b\\..\\fw"}).text(), "E:\\a\\fw");
    EXPECT_EQ(firmwareDirectoryFromArguments({"kvtool", "a/./b/.", "extra"}).text(), "a/b");
}

TEST(StartupArguments, AMissingDirectoryIsAccepted) {
    const HPath directory =
        firmwareDirectoryFromArguments({"kvtool", "/nonexistent/kvtool/firmware"});
    EXPECT_EQ(directory.nativePath(), "/nonexistent/kvtool/firmware");
}

TEST(ExecutableDirectory, IsTheAbsoluteDirectoryOfTheRunningProgram) {
    const QString directory = executableDirectory();
    EXPECT_TRUE(QFileInfo(directory).isAbsolute());
    EXPECT_EQ(directory, QCoreApplication::applicationDirPath());
}

}  // namespace
