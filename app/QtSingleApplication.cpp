#include "app/QtSingleApplication.h"

#include "app/InstanceChannel.h"
#include "app/KorvaneConfigurer.h"

#include <cstdio>

QtSingleApplication::QtSingleApplication(const QString& id, int& argc, char** argv)
    : ErrorReportingApplication(argc, argv), id(id), channel(new InstanceChannel(id, this)) {
    connect(channel, &InstanceChannel::messageReceived, this,
            &QtSingleApplication::messageReceived);
}

QtSingleApplication::~QtSingleApplication() = default;

QString QtSingleApplication::instanceId() const {
    return id;
}

bool QtSingleApplication::anotherInstanceRunning() const {
    return channel->anotherInstanceListening();
}

void QtSingleApplication::startListening(bool activate) {
    if (channel->isListening() || !channel->listen()) {
        return;
    }
    if (activate) {
        connect(this, &QtSingleApplication::messageReceived, this,
                &QtSingleApplication::activateMainWidget);
    }
}

bool QtSingleApplication::isListening() const {
    return channel->isListening();
}

std::optional<bool> QtSingleApplication::handOverOrListen(const QString& message) {
    if (anotherInstanceRunning()) {
        return sendMessage(message, HANDOVER_TIMEOUT_MS);
    }
    startListening(true);
    if (isListening()) {
        return std::nullopt;
    }
    if (anotherInstanceRunning()) {
        return sendMessage(message, HANDOVER_TIMEOUT_MS);
    }
    std::fprintf(stderr, "%s: single-instance guard off: %s\n",
                 qPrintable(QCoreApplication::applicationName()),
                 qPrintable(channel->unusableReason().isEmpty()
                                ? QStringLiteral("cannot listen on %1").arg(channel->serverPath())
                                : channel->unusableReason()));
    return std::nullopt;
}

bool QtSingleApplication::sendMessage(const QString& message, int timeout) {
    return channel->sendMessage(message, timeout);
}

void QtSingleApplication::activateMainWidget() {
    if (mainWindow == nullptr) {
        return;
    }
    mainWindow->raise();
    mainWindow->activateWindow();
}
