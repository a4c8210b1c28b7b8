#pragma once

#include "app/ErrorReportingApplication.h"
#include "app/InstanceMessage.h"

#include <QString>

#include <optional>

class InstanceChannel;

// The program's application object: it reports escaping HExceptions (see
// ErrorReportingApplication) and makes sure that one instance runs per user's desktop.
// The first instance listens under its id; a later one finds it, hands it a text and
// exits; the running instance emits messageReceived and, when listening was started
// with `activate`, brings its main window to the front. The transport is a local socket
// private to the user (see InstanceChannel).
class QtSingleApplication : public ErrorReportingApplication {
    Q_OBJECT

public:
    // How long a later instance waits for the running one to take its message.
    static constexpr int HANDOVER_TIMEOUT_MS = 5000;
    // How long a later instance waits for the compositor's activation token.
    static constexpr int ACTIVATION_TOKEN_TIMEOUT_MS = 1000;

    // Creates no socket and sends nothing.
    QtSingleApplication(const QString& id, int& argc, char** argv);

    QString instanceId() const;
    // Whether an instance listens under the id (this one too, once it listens).
    bool anotherInstanceRunning() const;
    // Starts listening for later instances; with `activate`, every message also raises
    // and activates the main window. Does nothing when already listening.
    void startListening(bool activate);
    bool isListening() const;
    // Stops listening: from now on a later start becomes the running instance (while this
    // one winds down without a window).
    void stopListening();

    // The start-up check: when another instance runs, hands it `message` and returns
    // whether it confirmed; otherwise starts listening (with activation) and returns
    // nothing, and this instance goes on as the running one. Two instances started at the
    // same moment both find nobody at first; the one that loses the race to listen hands
    // over like any later one. Where it cannot listen at all, it says why on standard
    // error and goes on unguarded.
    //
    // With the text goes what lets the running instance come to the front: the
    // xdg-activation token and the X11 startup id that this process's launcher gave it
    // (read from the environment before the application object existed: Qt takes the
    // startup id away), and on Wayland without a token, one this process asks for.
    std::optional<bool> handOverOrListen(const InstanceMessage::Message& message);

    // The launch's own activation token and startup id, from the environment; to be read
    // before the application object is made.
    static InstanceMessage::Message launchActivation();

public Q_SLOTS:
    // Hands `message` to the running instance. True only when that instance confirmed it
    // has emitted messageReceived within `timeout` ms; false at once when none listens.
    bool sendMessage(const QString& message, int timeout = 5000);
    // Raises the main window and makes it the active window, presenting what the last
    // message brought for that (a Wayland activation token; on X11 it ends that launch's
    // startup notification); a box open over the window (an error, a question) gets the
    // focus, so that it answers Escape and Enter. A minimised window stays minimised and a
    // hidden one hidden.
    virtual void activateMainWidget();

Q_SIGNALS:
    void messageReceived(const QString& message);

private:
    QString id;
    InstanceChannel* channel;
    // What the last message brought to come to the front with, until it is used.
    QString pendingActivationToken;
    QString pendingStartupId;
};
