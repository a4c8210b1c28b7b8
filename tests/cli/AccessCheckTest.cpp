// The pieces of the doctor that read what the system says: the ACL of a device node and
// where the udev rule is installed.

#include "device/PosixAcl.h"
#include "device/UdevRuleStatus.h"
#include "support/AclBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr quint16 RW = PosixAcl::READ | PosixAcl::WRITE;
constexpr quint32 UID = 1000;

TEST(PosixAcl, NamedUserEntryGrantsAccessUnlessTheMaskTakesItAway) {
    // What systemd-logind leaves on a uaccess-tagged node: the owner, the seat user, the
    // group, the mask and the others.
    const auto granted = PosixAcl::decode(aclBytes(2, {{PosixAcl::TAG_USER_OBJ, RW, 0},
                                                       {PosixAcl::TAG_USER, RW, UID},
                                                       {PosixAcl::TAG_GROUP_OBJ, PosixAcl::READ, 0},
                                                       {PosixAcl::TAG_MASK, RW, 0},
                                                       {PosixAcl::TAG_OTHER, PosixAcl::READ, 0}}));
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->entries.size(), 5);
    EXPECT_TRUE(granted->grantsReadWrite(UID));
    EXPECT_FALSE(granted->grantsReadWrite(UID + 1));

    const auto masked = PosixAcl::decode(
        aclBytes(2, {{PosixAcl::TAG_USER, RW, UID}, {PosixAcl::TAG_MASK, PosixAcl::READ, 0}}));
    ASSERT_TRUE(masked);
    EXPECT_FALSE(masked->grantsReadWrite(UID));

    const auto readOnly =
        PosixAcl::decode(aclBytes(2, {{PosixAcl::TAG_USER, PosixAcl::READ, UID}}));
    ASSERT_TRUE(readOnly);
    EXPECT_FALSE(readOnly->grantsReadWrite(UID));
}

TEST(PosixAcl, MalformedAttributesAreRefused) {
    EXPECT_FALSE(PosixAcl::decode(QByteArray()));
    EXPECT_FALSE(PosixAcl::decode(QByteArray(3, '\0')));
    EXPECT_FALSE(PosixAcl::decode(aclBytes(1, {{PosixAcl::TAG_USER, RW, UID}})));
    EXPECT_FALSE(PosixAcl::decode(aclBytes(2, {{PosixAcl::TAG_USER, RW, UID}}).chopped(1)));
    const auto empty = PosixAcl::decode(aclBytes(2, {}));
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->grantsReadWrite(UID));
}

TEST(PosixAcl, FileWithoutAnAclHasNone) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("node")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(PosixAcl::ofFile(QFile::encodeName(file.fileName())));
}

class UdevRules : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"etc", "run", "lib"}) {
            QDir(root.path()).mkpath(QLatin1String(name));
            directories << root.filePath(QLatin1String(name));
        }
    }
    QString rule(const char* directory) const {
        return root.filePath(QStringLiteral("%1/60-kvtool.rules").arg(QLatin1String(directory)));
    }
    void write(const char* directory, const QByteArray& content) const {
        QFile file(rule(directory));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir root;
    QStringList directories;
};

TEST_F(UdevRules, NotInstalledAnywhere) {
    const UdevRuleStatus status = UdevRuleStatus::find(directories);
    EXPECT_FALSE(status.installed());
    EXPECT_TRUE(status.found.isEmpty());
    EXPECT_EQ(status.searched, directories);
}

TEST_F(UdevRules, FoundInPrecedenceOrder) {
    write("lib", "TAG+=\"uaccess\"\n");
    write("etc", "TAG+=\"uaccess\"\n");
    const UdevRuleStatus status = UdevRuleStatus::find(directories);
    EXPECT_TRUE(status.installed());
    EXPECT_EQ(status.found, (QStringList{rule("etc"), rule("lib")}));
}

TEST_F(UdevRules, LinkToDevNullOrEmptyFileMasksTheRule) {
    write("lib", "TAG+=\"uaccess\"\n");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), rule("etc")));
    UdevRuleStatus status = UdevRuleStatus::find(directories);
    EXPECT_FALSE(status.installed());
    EXPECT_EQ(status.maskedBy, rule("etc"));

    QFile::remove(rule("etc"));
    write("run", "");
    status = UdevRuleStatus::find(directories);
    EXPECT_EQ(status.maskedBy, rule("run"));
    // An empty file below the one in force masks nothing.
    QFile::remove(rule("run"));
    write("etc", "TAG+=\"uaccess\"\n");
    write("run", "");
    EXPECT_TRUE(UdevRuleStatus::find(directories).installed());
}

TEST_F(UdevRules, SameFileThroughTwoDirectoriesCountsOnce) {
    write("lib", "TAG+=\"uaccess\"\n");
    // /lib on a merged /usr is a link to /usr/lib.
    ASSERT_TRUE(
        QFile::link(root.filePath(QStringLiteral("lib")), root.filePath(QStringLiteral("merged"))));
    const UdevRuleStatus status = UdevRuleStatus::find(
        {root.filePath(QStringLiteral("lib")), root.filePath(QStringLiteral("merged"))});
    EXPECT_EQ(status.found, QStringList{rule("lib")});
}

}  // namespace
