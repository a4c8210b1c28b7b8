// The documentation of kvtool-cli against the program itself: every command, option,
// environment variable, signal and exit status that --help names is in the manual page and
// in the README's "Command line" section, and the program links no widgets.

#include "CliRunner.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

QString readText(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

// The manual page's source with its escapes undone: "\-" is "-", font changes go.
QString manualText() {
    QString text = readText(QStringLiteral(KVTOOL_SOURCE_DIR "/packaging/man/kvtool-cli.1"));
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    static const QRegularExpression fonts(QStringLiteral("\\\\f[BIRP]"));
    text.remove(fonts);
    text.remove(u'"');
    return text;
}

// The text of one ".SH NAME" section of the manual page.
QString manualSection(const QString& manual, const QString& name) {
    const qsizetype start = manual.indexOf(QStringLiteral("\n.SH ") + name);
    EXPECT_GE(start, 0) << "no section " << name.toStdString();
    const qsizetype end = manual.indexOf(QStringLiteral("\n.SH "), start + 1);
    return manual.mid(start, end < 0 ? -1 : end - start);
}

QString readmeSection() {
    const QString readme = readText(QStringLiteral(KVTOOL_SOURCE_DIR "/README.md"));
    const qsizetype start = readme.indexOf(QStringLiteral("\n## Command line"));
    EXPECT_GE(start, 0) << "README has no \"Command line\" section";
    const qsizetype end = readme.indexOf(QStringLiteral("\n## "), start + 1);
    return readme.mid(start, end < 0 ? -1 : end - start);
}

// What --help names, section by section.
struct HelpContents {
    QStringList commands;
    QStringList options;
    QStringList environment;
    QStringList signalNames;   // "SIGINT", ...
    QStringList exitStatuses;  // "0  done", ...
};

HelpContents helpContents() {
    CliRunner cli;
    const CliRun run = cli.run({QStringLiteral("--help")});
    EXPECT_EQ(run.exitCode, 0);
    HelpContents help;
    QString section;
    static const QRegularExpression command(QStringLiteral("^  ([a-z]+)\\b"));
    static const QRegularExpression option(QStringLiteral("--[a-z-]+"));
    static const QRegularExpression variable(QStringLiteral("^  (KVTOOL_[A-Z_]+)"));
    static const QRegularExpression status(QStringLiteral("^  ([0-9])  (.+)$"));
    static const QRegularExpression signalName(QStringLiteral("SIG[A-Z]+"));
    for (const QString& line : run.outLines()) {
        if (!line.startsWith(u' ')) {
            section = line;
        } else if (section == u"Commands:") {
            const QRegularExpressionMatch match = command.match(line);
            if (match.hasMatch() && !help.commands.contains(match.captured(1))) {
                help.commands << match.captured(1);
            }
        } else if (section == u"Options:" && line.startsWith(QStringLiteral("  -"))) {
            for (const auto& match : option.globalMatch(line)) {
                help.options << match.captured(0);
            }
        } else if (section == u"Environment:") {
            const QRegularExpressionMatch match = variable.match(line);
            if (match.hasMatch()) {
                help.environment << match.captured(1);
            }
        } else if (section == u"Signals:" && line.startsWith(QStringLiteral("  SIG"))) {
            for (const auto& match : signalName.globalMatch(line)) {
                help.signalNames << match.captured(0);
            }
        } else if (section == u"Exit status:") {
            const QRegularExpressionMatch match = status.match(line);
            if (match.hasMatch()) {
                help.exitStatuses << match.captured(0).trimmed();
            }
        }
    }
    return help;
}

TEST(CliDocumentation, HelpNamesEveryCommandOptionAndExitStatus) {
    const HelpContents help = helpContents();
    EXPECT_EQ(help.commands, (QStringList{QStringLiteral("list"), QStringLiteral("info"),
                                          QStringLiteral("install"), QStringLiteral("image"),
                                          QStringLiteral("doctor"), QStringLiteral("watch"),
                                          QStringLiteral("update")}));
    for (const char* option :
         {"--serial", "--all", "--dry-run", "--target", "--clocking", "--firmware-dir", "--force",
          "--count", "--log", "--json", "--verbose", "--help", "--version"}) {
        EXPECT_TRUE(help.options.contains(QLatin1String(option))) << option;
    }
    EXPECT_EQ(help.exitStatuses.size(), 6);
    EXPECT_EQ(help.signalNames, args({"SIGINT", "SIGHUP", "SIGTERM", "SIGQUIT", "SIGPIPE"}));
}

TEST(CliDocumentation, ManualPageDescribesEverythingHelpNames) {
    const HelpContents help = helpContents();
    const QString manual = manualText();
    const QString commands = manualSection(manual, QStringLiteral("COMMANDS"));
    for (const QString& command : help.commands) {
        const QRegularExpression entry(QStringLiteral("\n\\.BI? %1\\b").arg(command));
        EXPECT_TRUE(entry.match(commands).hasMatch()) << "command " << command.toStdString();
    }
    const QString options = manualSection(manual, QStringLiteral("OPTIONS"));
    for (const QString& option : help.options) {
        EXPECT_TRUE(options.contains(option)) << "option " << option.toStdString();
    }
    const QString environment = manualSection(manual, QStringLiteral("ENVIRONMENT"));
    for (const QString& variable : help.environment) {
        EXPECT_TRUE(environment.contains(variable)) << variable.toStdString();
    }
    const QString signalSection = manualSection(manual, QStringLiteral("SIGNALS"));
    for (const QString& name : help.signalNames) {
        EXPECT_TRUE(signalSection.contains(name)) << name.toStdString();
    }
    // ".TP\n.B 3\nno probe attached, ..." for "3  no probe attached, ...".
    const QString exitStatus = manualSection(manual, QStringLiteral("EXIT STATUS"));
    for (const QString& line : help.exitStatuses) {
        const QString code = line.left(1);
        const QString text = line.mid(1).trimmed();
        EXPECT_TRUE(exitStatus.contains(QStringLiteral(".B %1\n%2").arg(code, text)))
            << "exit status " << line.toStdString();
    }
}

TEST(CliDocumentation, ReadmeSectionListsEveryCommandOptionAndExitStatus) {
    const HelpContents help = helpContents();
    const QString section = readmeSection();
    for (const QString& command : help.commands) {
        EXPECT_TRUE(section.contains(QStringLiteral("kvtool-cli ") + command))
            << command.toStdString();
    }
    for (const QString& option : help.options) {
        EXPECT_TRUE(section.contains(option)) << option.toStdString();
    }
    for (const QString& name : help.signalNames + help.environment) {
        EXPECT_TRUE(section.contains(name)) << name.toStdString();
    }
    for (const QString& line : help.exitStatuses) {
        EXPECT_TRUE(section.contains(
            QStringLiteral("| %1 | %2 |").arg(line.left(1), line.mid(1).trimmed())))
            << line.toStdString();
    }
}

TEST(CliDocumentation, VersionIsTheProjectVersion) {
    CliRunner cli;
    const CliRun run = cli.run({QStringLiteral("--version")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, QStringLiteral("kvtool-cli " KVTOOL_VERSION "\n"));
}

TEST(CliLinking, ProgramNeedsNoWidgets) {
    const QString ldd = QStandardPaths::findExecutable(QStringLiteral("ldd"));
    if (ldd.isEmpty()) {
        GTEST_SKIP() << "no ldd";
    }
    QProcess process;
    process.start(ldd, {QStringLiteral(KVTOOL_CLI_PATH)});
    ASSERT_TRUE(process.waitForFinished(30000));
    const QString libraries = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_TRUE(libraries.contains(QStringLiteral("libQt6Core"))) << libraries.toStdString();
    EXPECT_FALSE(libraries.contains(QStringLiteral("libQt6Widgets"))) << libraries.toStdString();
    EXPECT_FALSE(libraries.contains(QStringLiteral("libQt6Gui"))) << libraries.toStdString();
}

}  // namespace
