#pragma once

#include <QStringList>

// Where the udev rule that kvtool's package installs (60-kvtool.rules) is found among the
// directories udev reads its rules from. A file of the same name in a directory read
// earlier overrides those in later ones; one that is empty or a link to /dev/null masks
// them.
struct UdevRuleStatus {
    static constexpr char RULE_NAME[] = "60-kvtool.rules";

    QStringList searched;  // the directories, in udev's order of precedence
    QStringList found;     // the files found, in that order
    QString maskedBy;      // the masking file that wins, or empty

    bool installed() const { return !found.isEmpty() && maskedBy.isEmpty(); }

    // The directories udev reads on Debian, highest precedence first.
    static QStringList defaultDirectories();
    static UdevRuleStatus find(const QStringList& directories);
};
