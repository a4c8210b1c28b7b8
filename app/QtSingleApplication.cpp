#include "app/QtSingleApplication.h"

#include "app/InstanceChannel.h"
#include "app/KorvaneConfigurer.h"

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
