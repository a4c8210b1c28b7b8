#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// How a run of the built kvtool-cli ended.
struct CliOutcome {
    int exitCode = -1;
    QByteArray out;
    QString err;
};

// Runs kvtool-cli under the testbed of this process, in real time and on the Linux backend:
// the child inherits the preload and the testbed's directory (and so does every process it
// starts), so it sees the devices only as the fake sysfs and /dev show them, while this
// process answers their usbdevfs traffic. `meanwhile` runs every few milliseconds until
// the child ends (to mirror what the devices do onto the bus). When this process runs as
// root and `unprivileged` is set, the child runs as the user "nobody", for whom file
// permissions apply.
CliOutcome runCliUnderTestbed(const QStringList& arguments,
                              const std::function<void()>& meanwhile = {},
                              bool unprivileged = false);
