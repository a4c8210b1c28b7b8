#pragma once

#include <QList>
#include <QString>

// The processes that have a file open, as /proc shows them: for a probe that another
// program (a debugger, say) holds, so that kvtool can say which one. Only the processes
// whose open files this user may see are found (its own, or all of them for root).
struct NodeHolder {
    qint64 pid = 0;
    QString command;  // its command name, "openocd"; empty when it cannot be read

    friend bool operator==(const NodeHolder&, const NodeHolder&) = default;
};

// The processes other than this one that have the file at `path` open (the same file:
// the same device and inode, whatever name they opened it by), by process id. Nothing for
// a file that does not exist.
QList<NodeHolder> processesHolding(const QString& path);

// "PID 1234 (openocd)", several joined by ", "; empty for none.
QString describeHolders(const QList<NodeHolder>& holders);

// The command name of process `pid` ("kvtool-cli"), or empty when it cannot be told.
QString processCommandName(qint64 pid);
