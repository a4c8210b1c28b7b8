#include "app/QtSingleApplication.h"

#include "app/InstanceChannel.h"
#include "app/KorvaneConfigurer.h"
#include "app/WaylandActivationToken.h"
#include "app/X11StartupNotification.h"

#include <cstdio>
#include <utility>

QtSingleApplication::QtSingleApplication(const QString& id, int& argc, char** argv)
    : ErrorReportingApplication(argc, argv), id(id), channel(new InstanceChannel(id, this)) {
    connect(channel, &InstanceChannel::activationReceived, this,
            [this](const QString& token, const QString& startupId) {
                pendingActivationToken = token;
                pendingStartupId = startupId;
            });
    connect(channel, &InstanceChannel::messageReceived, this,
            &QtSingleApplication::messageReceived);
}

InstanceMessage::Message QtSingleApplication::launchActivation() {
    return {QString(), qEnvironmentVariable("XDG_ACTIVATION_TOKEN"),
            qEnvironmentVariable("DESKTOP_STARTUP_ID")};
}

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

void QtSingleApplication::stopListening() {
    channel->stopListening();
}

std::optional<bool> QtSingleApplication::handOverOrListen(const InstanceMessage::Message& message) {
    auto handOver = [this, outgoing = InstanceMessage::Message(message)]() mutable {
        // Without a token from its launcher, a Wayland client asks for one: the running
        // instance cannot come to the front without it.
        if (outgoing.activationToken.isEmpty() && platformName() == u"wayland") {
            outgoing.activationToken =
                requestWaylandActivationToken(desktopFileName(), ACTIVATION_TOKEN_TIMEOUT_MS)
                    .value_or(QString());
        }
        return channel->sendMessage(outgoing, HANDOVER_TIMEOUT_MS);
    };
    if (anotherInstanceRunning()) {
        return handOver();
    }
    startListening(true);
    if (isListening()) {
        return std::nullopt;
    }
    if (anotherInstanceRunning()) {
        return handOver();
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
    const QString token = std::exchange(pendingActivationToken, QString());
    const QString startupId = std::exchange(pendingStartupId, QString());
    if (mainWindow == nullptr) {
        return;
    }
    // Qt's Wayland plugin presents the token in XDG_ACTIVATION_TOKEN with the next
    // activation request (and then removes it); without one a compositor may refuse.
    if (!token.isEmpty() && platformName() == u"wayland") {
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    }
    endX11StartupNotification(startupId);
    mainWindow->raise();
    mainWindow->activateWindow();
    // A box over the window waits for an answer: it takes the focus, not the window.
    if (QWidget* box = activeModalWidget(); box != nullptr && box != mainWindow) {
        box->raise();
        box->activateWindow();
    }
}
