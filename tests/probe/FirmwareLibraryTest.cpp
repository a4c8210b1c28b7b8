// The firmware folders: their order (the folder given, the XDG data folders, the program's
// own), the generation-2 image taken from the first that has it, and what the look passes
// over. (Which image an update chooses is tests/cli's CliUpdate, against emulated probes.)
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"
#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace {

// The five kinds of firmware folder, under a scratch directory, with the environment that
// makes them the folders: "argument", "home" ($XDG_DATA_HOME), "dirs1" and "dirs2" (the two
// of $XDG_DATA_DIRS) and "program".
class Folders {
public:
    Folders()
        : home(qgetenv("XDG_DATA_HOME")),
          dirs(qgetenv("XDG_DATA_DIRS")),
          hadHome(qEnvironmentVariableIsSet("XDG_DATA_HOME")),
          hadDirs(qEnvironmentVariableIsSet("XDG_DATA_DIRS")) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("home"))));
        qputenv("XDG_DATA_DIRS",
                QFile::encodeName(scratch.filePath(QStringLiteral("dirs1")) + u':' +
                                  scratch.filePath(QStringLiteral("dirs2"))));
    }
    ~Folders() {
        hadHome ? qputenv("XDG_DATA_HOME", home) : qunsetenv("XDG_DATA_HOME");
        hadDirs ? qputenv("XDG_DATA_DIRS", dirs) : qunsetenv("XDG_DATA_DIRS");
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    QString path(const QString& kind) const {
        const bool data = kind == u"home" || kind.startsWith(u"dirs");
        const QString folder =
            scratch.filePath(data ? kind + QStringLiteral("/kvtool/firmware") : kind);
        QDir().mkpath(folder);
        return folder;
    }
    QStringList all() const {
        return FirmwareLibrary::folders({path(QStringLiteral("argument"))},
                                        path(QStringLiteral("program")));
    }
    QString write(const QString& kind, const QString& name, const QByteArray& bytes) const {
        const QString file = QDir(path(kind)).filePath(name);
        QFile out(file);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
        return file;
    }

private:
    QTemporaryDir scratch;
    QByteArray home;
    QByteArray dirs;
    bool hadHome;
    bool hadDirs;
};

QByteArray gen3Image(int major, int minor, const char* description = "test") {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = quint16(major);
    recipe.versionMinor = quint16(minor);
    recipe.description = QLatin1String(description);
    recipe.size = 9000;
    return generateGen3Image(recipe);
}

TEST(FirmwareFolders, AreTheOneGivenTheXdgDataFoldersAndTheProgramsInThisOrder) {
    const Folders folders;
    QStringList expected;
    for (const char* kind : {"argument", "home", "dirs1", "dirs2", "program"}) {
        expected << folders.path(QLatin1String(kind));
    }
    EXPECT_EQ(folders.all(), expected);
    // A folder named twice counts where it comes first.
    EXPECT_EQ(
        FirmwareLibrary::folders({folders.path(QStringLiteral("dirs2")) + u'/'},
                                 folders.path(QStringLiteral("home"))),
        (QStringList{folders.path(QStringLiteral("dirs2")) + u'/',
                     folders.path(QStringLiteral("home")), folders.path(QStringLiteral("dirs1"))}));
}

struct PrecedenceCase {
    const char* name;
    QStringList holding;  // the folders that hold kv_alder_max.bin
    const char* chosen;
};

void PrintTo(const PrecedenceCase& c, std::ostream* os) {
    *os << c.name;
}

class Generation2Folder : public ::testing::TestWithParam<PrecedenceCase> {};

TEST_P(Generation2Folder, IsTheFirstThatHoldsTheImage) {
    const PrecedenceCase& c = GetParam();
    const Folders folders;
    for (const QString& kind : c.holding) {
        folders.write(kind, QStringLiteral("kv_alder_max.bin"), "x");
    }
    const FirmwareLibrary library(folders.all());
    const QString chosen = folders.path(QLatin1String(c.chosen));
    EXPECT_EQ(library.generation2Folder(kv2::TargetFamily::Alder, kv2::JtagClocking::MaximumSpeed),
              chosen);
    EXPECT_EQ(library.generation2Image(kv2::TargetFamily::Alder, kv2::JtagClocking::MaximumSpeed),
              chosen + QStringLiteral("/kv_alder_max.bin"));
    // Another variant is looked for on its own; a folder the user chose is taken as it is.
    EXPECT_EQ(library.generation2Folder(kv2::TargetFamily::Cedar, kv2::JtagClocking::MaximumSpeed),
              folders.path(QStringLiteral("argument")));
    EXPECT_EQ(library.generation2Folder(kv2::TargetFamily::Alder, kv2::JtagClocking::MaximumSpeed,
                                        QStringLiteral("/chosen")),
              QStringLiteral("/chosen"));
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, Generation2Folder,
    ::testing::Values(
        PrecedenceCase{
            "argument_first", {"argument", "home", "dirs1", "dirs2", "program"}, "argument"},
        PrecedenceCase{"xdg_data_home_next", {"home", "dirs1", "dirs2", "program"}, "home"},
        PrecedenceCase{"xdg_data_dirs_in_order", {"dirs1", "dirs2", "program"}, "dirs1"},
        PrecedenceCase{"second_xdg_data_dir", {"dirs2", "program"}, "dirs2"},
        PrecedenceCase{"program_folder_last", {"program"}, "program"},
        // The page's "Cannot open" then names the file where it was looked for first.
        PrecedenceCase{"in_none_the_first", {}, "argument"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- What the look passes over ------------------------------------------------------------

TEST(FirmwareLibraryLook, PassesOverWhatIsNoImageAndWhatItMustNotRead) {
    const Folders folders;
    const QString good =
        folders.write(QStringLiteral("home"), QStringLiteral("good"), gen3Image(1, 1));
    const QString text = folders.write(QStringLiteral("home"), QStringLiteral("text"), "hello\n");
    KV2ImageSpec unversioned;
    unversioned.versionRecordOffset = KV2ImageSpec::OMIT;
    const QString noRecord = folders.write(QStringLiteral("home"), QStringLiteral("no-record"),
                                           generateKV2Image(unversioned));
    // Larger than any probe holds: passed over without being read (the file is sparse).
    const QString huge = folders.write(QStringLiteral("home"), QStringLiteral("huge"), "");
    ASSERT_TRUE(QFile(huge).resize(largestProbeImage() + 1));
    // A FIFO would block whoever opened it to read without a writer.
    const QString fifo = folders.path(QStringLiteral("home")) + QStringLiteral("/fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString dangling = folders.path(QStringLiteral("home")) + QStringLiteral("/dangling");
    ASSERT_TRUE(
        QFile::link(folders.path(QStringLiteral("home")) + QStringLiteral("/gone"), dangling));
    QDir().mkpath(folders.path(QStringLiteral("home")) + QStringLiteral("/folder"));
    // A folder too large to look through is passed over whole.
    for (int i = 0; i <= FirmwareLibrary::MAX_FOLDER_ENTRIES; ++i) {
        folders.write(QStringLiteral("dirs1"), QStringLiteral("f%1").arg(i), "");
    }
    folders.write(QStringLiteral("dirs1"), QStringLiteral("kv3.bin"), gen3Image(9, 9));

    FirmwareLibrary library(folders.all());
    ASSERT_EQ(library.offers().size(), 1);
    EXPECT_EQ(library.offers().first()->path, good);
    QMap<QString, QString> notes;
    for (const FirmwareLibrary::Note& note : library.notes()) {
        notes.insert(note.path, note.reason);
    }
    const QMap<QString, QString> expected{
        {text, QStringLiteral("not a firmware image: no generation-3 header")},
        {noRecord, QStringLiteral("states no version (no version record)")},
        {huge, QStringLiteral("16777217 bytes, larger than any probe holds")},
        {fifo, QStringLiteral("not a regular file")},
        {dangling, QStringLiteral("cannot read it: No such file or directory")},
        {folders.path(QStringLiteral("dirs1")),
         QStringLiteral("more than 1000 entries: not looked at")}};
    ASSERT_EQ(notes.keys(), expected.keys());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        EXPECT_TRUE(notes.value(it.key()).startsWith(it.value()))
            << it.key().toStdString() << ": " << notes.value(it.key()).toStdString();
    }
    EXPECT_EQ(library.folderProblems(),
              QStringList{folders.path(QStringLiteral("dirs1")) +
                          QStringLiteral(": more than 1000 entries: not looked at")});
}

}  // namespace
