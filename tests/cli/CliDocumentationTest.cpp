// The documentation against the programs themselves. kvtool-cli's --help is made from its
// option and command tables; each command's help, the manual page and the README's
// "Command line" section are held against it: every command, every option with its value
// and the commands that take it, in the same words, every synopsis naming every option of
// its command, the environment, the signals and the exit statuses. kvtool's --help is held
// against its manual page and the README's "Running kvtool" the same way. And kvtool-cli
// links no widgets.

#include "CliRunner.h"

#include <QFile>
#include <QMap>
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

// The words of a request line's arguments, as roff splits them (quotes group).
QStringList roffArguments(const QString& line) {
    static const QRegularExpression word(QStringLiteral("\"([^\"]*)\"?|(\\S+)"));
    QStringList words;
    for (const auto& match : word.globalMatch(line)) {
        words << (match.hasCaptured(1) ? match.captured(1) : match.captured(2));
    }
    return words;
}

// A manual page as text, a line per source line: font requests give their words (joined
// without spaces where the fonts alternate, as .BR and .RI do), escapes are undone, and
// the other requests (.TP, .SH, ...) stay as they are, to find the structure by.
QString manualText(const char* page) {
    static const QRegularExpression request(
        QStringLiteral("^\\.(BR|RB|BI|IB|IR|RI|B|I)(?: (.*))?$"));
    static const QRegularExpression fonts(QStringLiteral("\\\\f[BIRP]"));
    QStringList lines;
    const QString source =
        readText(QStringLiteral(KVTOOL_SOURCE_DIR "/packaging/man/") + QLatin1String(page));
    for (QString line : source.split(u'\n')) {
        line.replace(QStringLiteral("\\-"), QStringLiteral("-"));
        line.remove(fonts);
        const QRegularExpressionMatch match = request.match(line);
        if (match.hasMatch()) {
            const QString separator = match.captured(1).size() == 1 ? QStringLiteral(" ") : "";
            line = roffArguments(match.captured(2)).join(separator);
        } else if (!line.startsWith(u'.')) {
            line.remove(u'"');
        }
        lines << line;
    }
    return lines.join(u'\n');
}

// The text of one ".SH NAME" section of a manual page.
QString manualSection(const QString& manual, const QString& name) {
    const qsizetype start = manual.indexOf(QStringLiteral("\n.SH ") + name);
    EXPECT_GE(start, 0) << "no section " << name.toStdString();
    const qsizetype end = manual.indexOf(QStringLiteral("\n.SH "), start + 1);
    return manual.mid(start, end < 0 ? -1 : end - start);
}

// The entries of a manual section: the tag line after each .TP, and the first line after it.
QMap<QString, QString> manualEntries(const QString& section) {
    QMap<QString, QString> entries;
    const QStringList lines = section.split(u'\n');
    for (qsizetype i = 0; i + 2 < lines.size(); ++i) {
        if (lines[i] == u".TP") {
            entries.insert(lines[i + 1], lines[i + 2]);
        }
    }
    return entries;
}

QString readmeSection(const QString& heading) {
    const QString readme = readText(QStringLiteral(KVTOOL_SOURCE_DIR "/README.md"));
    const qsizetype start = readme.indexOf(QStringLiteral("\n## ") + heading);
    EXPECT_GE(start, 0) << "README has no section " << heading.toStdString();
    const qsizetype end = readme.indexOf(QStringLiteral("\n## "), start + 1);
    return readme.mid(start, end < 0 ? -1 : end - start);
}

// The rows of the README's option table in `section`: "--serial S" -> {commands, meaning}.
QMap<QString, QStringList> readmeOptionRows(const QString& section) {
    static const QRegularExpression row(
        QStringLiteral("^\\| `(-[^`]+)` \\| (?:([^|]+) \\| )?(.+) \\|$"),
        QRegularExpression::MultilineOption);
    QMap<QString, QStringList> rows;
    for (const auto& match : row.globalMatch(section)) {
        rows.insert(match.captured(1), {match.captured(2), match.captured(3)});
    }
    return rows;
}

// An option as the help gives it: its tag ("--serial S", "-h, --help"), its name, the
// commands that take it as the help names them ("info, install", "every command"), and
// its description in one line.
struct HelpOption {
    QString tag;
    QString name;
    QString commands;
    QString description;

    bool takenBy(const QString& command) const {
        return commands == u"every command" ||
               commands.split(QStringLiteral(", ")).contains(command);
    }
};

// What a --help names, section by section.
struct HelpContents {
    QStringList commands;
    QList<HelpOption> options;
    QStringList environment;
    QStringList signalNames;              // "SIGINT", ...
    QStringList exitStatuses;             // "0  done", ...
    QMap<QString, QStringList> synopses;  // per command, its forms, each in one line
};

CliRun runProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    CliRun run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

HelpContents helpContents(const CliRun& run) {
    EXPECT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    HelpContents help;
    QString section;
    static const QRegularExpression command(QStringLiteral("^  ([a-z]+)\\b(.*)$"));
    static const QRegularExpression option(
        QStringLiteral("^  ((?:-[a-z], )?--([a-z-]+)(?: [A-Z]+)?)(?:  \\((.+)\\))?$"));
    static const QRegularExpression variable(QStringLiteral("^  (KVTOOL_[A-Z_]+)"));
    static const QRegularExpression status(QStringLiteral("^  ([0-9])  (.+)$"));
    static const QRegularExpression signalName(QStringLiteral("SIG[A-Z]+"));
    QString lastCommand;
    for (const QString& line : run.outLines()) {
        if (!line.startsWith(u' ')) {
            section = line;
            continue;
        }
        if (section == u"Commands:") {
            const QRegularExpressionMatch match = command.match(line);
            if (match.hasMatch()) {
                lastCommand = match.captured(1);
                if (!help.commands.contains(lastCommand)) {
                    help.commands << lastCommand;
                }
                help.synopses[lastCommand] << line.trimmed();
            } else if (line.startsWith(QStringLiteral("        "))) {  // a synopsis goes on
                help.synopses[lastCommand].last() += u' ' + line.trimmed();
            }
        } else if (section == u"Options:") {
            const QRegularExpressionMatch match = option.match(line);
            if (match.hasMatch()) {
                help.options << HelpOption{match.captured(1), match.captured(2), match.captured(3),
                                           QString()};
            } else if (!help.options.isEmpty() && line.startsWith(QStringLiteral("      "))) {
                QString& description = help.options.last().description;
                description +=
                    (description.isEmpty() ? QString() : QStringLiteral(" ")) + line.trimmed();
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

HelpContents cliHelp() {
    return helpContents(runProgram(QStringLiteral(KVTOOL_CLI_PATH), {QStringLiteral("--help")}));
}

// The options that go with --target and --clocking instead of a FILE (and install's
// --force, which lets through an image of another variant than the one chosen).
const QStringList TARGET_OPTIONS = args({"--target", "--clocking", "--firmware-dir"});

// A synopsis `form` of `command` ("install FILE [--serial S ... | --all] ...") names every
// option of the command but those that every command takes (and `extra` besides), save
// the options of the --target form in a FILE form.
void expectSynopsis(const QString& form, const HelpContents& help, const QString& command,
                    const QStringList& extra, const char* where) {
    static const QRegularExpression word(QStringLiteral("[\\w-]+"));
    QStringList named;
    for (const auto& match : word.globalMatch(form)) {
        named << match.captured(0);
    }
    const bool fileForm = named.mid(named.indexOf(command) + 1, 1) == QStringList{"FILE"};
    QStringList expected = extra;
    for (const HelpOption& option : help.options) {
        const QString name = QStringLiteral("--") + option.name;
        if (option.commands != u"every command" && option.takenBy(command) &&
            !(fileForm &&
              (TARGET_OPTIONS.contains(name) || (command == u"install" && name == u"--force")))) {
            expected << name;
        }
    }
    for (const QString& option : expected) {
        EXPECT_TRUE(named.contains(option))
            << where << ": " << form.toStdString() << " lacks " << option.toStdString();
    }
}

TEST(CliDocumentation, HelpNamesEveryCommandWithItsOptionsInItsSynopses) {
    const HelpContents help = cliHelp();
    EXPECT_EQ(help.commands,
              args({"list", "info", "install", "image", "doctor", "watch", "update", "help"}));
    EXPECT_GE(help.options.size(), 13);
    for (const HelpOption& option : help.options) {
        EXPECT_FALSE(option.commands.isEmpty()) << option.tag.toStdString();
        EXPECT_FALSE(option.description.isEmpty()) << option.tag.toStdString();
    }
    for (const QString& command : help.commands) {
        for (const QString& synopsis : help.synopses.value(command)) {
            expectSynopsis(synopsis, help, command, {}, "--help");
        }
    }
    EXPECT_EQ(help.exitStatuses.size(), 6);
    EXPECT_EQ(help.signalNames, args({"SIGINT", "SIGHUP", "SIGTERM", "SIGQUIT", "SIGPIPE"}));
}

// `COMMAND --help` and `help COMMAND` say the same: the command's usage, and exactly the
// options that the general help says it takes.
TEST(CliDocumentation, EachCommandHasAHelpOfItsOwnWithItsOptions) {
    const HelpContents help = cliHelp();
    for (const QString& command : help.commands) {
        if (command == u"help") {
            continue;
        }
        SCOPED_TRACE(command.toStdString());
        const CliRun asked =
            runProgram(QStringLiteral(KVTOOL_CLI_PATH), {command, QStringLiteral("--help")});
        EXPECT_EQ(
            runProgram(QStringLiteral(KVTOOL_CLI_PATH), {QStringLiteral("help"), command}).out,
            asked.out);
        const QStringList lines = asked.outLines();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.first().startsWith(QStringLiteral("Usage: kvtool-cli ") + command))
            << lines.first().toStdString();
        QStringList shown;
        QString section;
        for (const QString& line : lines) {
            if (!line.startsWith(u' ')) {
                section = line;
            } else if (section == u"Options:" && line.startsWith(QStringLiteral("  -"))) {
                shown << line.trimmed();
            }
        }
        QStringList expected;
        for (const HelpOption& option : help.options) {
            if (option.takenBy(command)) {
                expected << option.tag;
            }
        }
        EXPECT_EQ(shown, expected);
    }
}

TEST(CliDocumentation, ManualPageDescribesEverythingHelpNamesInTheSameWords) {
    const HelpContents help = cliHelp();
    const QString manual = manualText("kvtool-cli.1");
    const QString commands = manualSection(manual, QStringLiteral("COMMANDS"));
    for (const QString& command : help.commands) {
        const QRegularExpression entry(QStringLiteral("\n\\.TP\n%1\\b").arg(command));
        EXPECT_TRUE(entry.match(commands).hasMatch()) << "command " << command.toStdString();
    }
    // Every option under its own tag, the commands that take it first, and nothing else.
    const QMap<QString, QString> options =
        manualEntries(manualSection(manual, QStringLiteral("OPTIONS")));
    QStringList tags;
    for (const HelpOption& option : help.options) {
        tags << option.tag;
        EXPECT_EQ(options.value(option.tag), u'(' + option.commands + u')')
            << "option " << option.tag.toStdString();
    }
    tags.sort();
    EXPECT_EQ(QStringList(options.keys()), tags);
    // Each form of a command in the synopsis names every option of the command.
    const QStringList synopsis =
        manualSection(manual, QStringLiteral("SYNOPSIS")).split(QStringLiteral("\n.br\n"));
    for (const QString& command : help.commands) {
        int forms = 0;
        for (QString form : synopsis) {
            form.replace(u'\n', u' ');
            if (form.contains(QStringLiteral("kvtool-cli ") + command + u' ') ||
                form.endsWith(QStringLiteral("kvtool-cli ") + command)) {
                ++forms;
                expectSynopsis(form, help, command,
                               command == u"help" ? QStringList() : args({"--json", "--verbose"}),
                               "manual page");
            }
        }
        EXPECT_EQ(forms, std::max<qsizetype>(1, help.synopses.value(command).size()))
            << command.toStdString();
    }
    const QMap<QString, QString> environment =
        manualEntries(manualSection(manual, QStringLiteral("ENVIRONMENT")));
    QStringList variables = help.environment;
    variables.sort();
    EXPECT_EQ(QStringList(environment.keys()), variables);
    const QString signalSection = manualSection(manual, QStringLiteral("SIGNALS"));
    for (const QString& name : help.signalNames) {
        EXPECT_TRUE(signalSection.contains(name)) << name.toStdString();
    }
    // ".TP\n0\ndone ..." for "0  done ...".
    const QMap<QString, QString> statuses =
        manualEntries(manualSection(manual, QStringLiteral("EXIT STATUS")));
    for (const QString& line : help.exitStatuses) {
        EXPECT_EQ(statuses.value(line.left(1)), line.mid(1).trimmed()) << line.toStdString();
    }
    EXPECT_TRUE(
        manualSection(manual, QStringLiteral("SEE ALSO")).contains(QStringLiteral("kvtool(1)")));
}

TEST(CliDocumentation, ReadmeSectionHasEveryCommandAndOptionInTheSameWords) {
    const HelpContents help = cliHelp();
    const QString section = readmeSection(QStringLiteral("Command line"));
    // The synopsis block: every command, each line naming the command's own options.
    const qsizetype block = section.indexOf(QStringLiteral("```\n"));
    const QStringList synopsis =
        section.mid(block + 4, section.indexOf(QStringLiteral("```"), block + 4) - block - 4)
            .split(u'\n', Qt::SkipEmptyParts);
    for (const QString& command : help.commands) {
        int forms = 0;
        for (const QString& line : synopsis) {
            if (line.startsWith(QStringLiteral("kvtool-cli ") + command + u' ')) {
                ++forms;
                expectSynopsis(line.section(u'#', 0, 0), help, command, {}, "README");
            }
        }
        EXPECT_EQ(forms, std::max<qsizetype>(1, help.synopses.value(command).size()))
            << command.toStdString();
    }
    // The option table: a row per option, its commands and its meaning as the help says.
    const QMap<QString, QStringList> rows = readmeOptionRows(section);
    EXPECT_EQ(rows.size(), help.options.size());
    for (const HelpOption& option : help.options) {
        EXPECT_EQ(rows.value(option.tag), (QStringList{option.commands, option.description}))
            << option.tag.toStdString();
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

// kvtool's own --help against its manual page and the README's "Running kvtool".
TEST(KvtoolDocumentation, ManualPageAndReadmeDescribeEverythingHelpNames) {
    const HelpContents help =
        helpContents(runProgram(QStringLiteral(KVTOOL_PATH), {QStringLiteral("--help")}));
    ASSERT_EQ(help.options.size(), 2);
    const QString manual = manualText("kvtool.1");
    const QMap<QString, QString> options =
        manualEntries(manualSection(manual, QStringLiteral("OPTIONS")));
    const QMap<QString, QStringList> rows =
        readmeOptionRows(readmeSection(QStringLiteral("Running kvtool")));
    for (const HelpOption& option : help.options) {
        EXPECT_EQ(options.value(option.tag), option.description) << option.tag.toStdString();
        EXPECT_EQ(rows.value(option.tag), (QStringList{QString(), option.description}))
            << option.tag.toStdString();
    }
    EXPECT_TRUE(options.contains(QStringLiteral("FIRMWARE-DIRECTORY")));
    const QMap<QString, QString> environment =
        manualEntries(manualSection(manual, QStringLiteral("ENVIRONMENT")));
    const QString readme = readmeSection(QStringLiteral("Running kvtool"));
    for (const QString& variable : help.environment) {
        EXPECT_TRUE(environment.contains(variable)) << variable.toStdString();
        EXPECT_TRUE(readme.contains(variable)) << variable.toStdString();
    }
    EXPECT_EQ(environment.size(), help.environment.size());
    const QMap<QString, QString> statuses =
        manualEntries(manualSection(manual, QStringLiteral("EXIT STATUS")));
    EXPECT_EQ(statuses.size(), help.exitStatuses.size());
    for (const QString& line : help.exitStatuses) {
        EXPECT_EQ(statuses.value(line.left(1)), line.mid(1).trimmed()) << line.toStdString();
    }
    EXPECT_TRUE(manualSection(manual, QStringLiteral("SEE ALSO"))
                    .contains(QStringLiteral("kvtool-cli(1)")));
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
