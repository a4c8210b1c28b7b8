#include "app/ProbeWorker.h"

#include "app/HException.h"
#include "device/UsbOpenError.h"

ProbeWorker::ProbeWorker(QObject* parent) : QObject(parent), executor(new QObject) {
    thread.setObjectName(QStringLiteral("kvtool probe worker"));
    executor->moveToThread(&thread);
    connect(&thread, &QThread::finished, executor, &QObject::deleteLater);
    thread.start();
}

ProbeWorker::~ProbeWorker() {
    thread.quit();
    thread.wait();
}

void ProbeWorker::post(std::function<void()> work) {
    QMetaObject::invokeMethod(executor, std::move(work), Qt::QueuedConnection);
}

void ProbeWorker::tell(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

quint64 ProbeWorker::read(const UsbDeviceInfo& probe, Reader reader, bool onceTheLoopRuns) {
    const quint64 request = ++lastRequest;
    ++readsInFlight;
    auto work = [this, request, probe, reader = std::move(reader)] {
        std::optional<InstalledFirmware> firmware;
        QString error;
        bool denied = false;
        try {
            firmware = reader(probe);
        } catch (const HException& e) {
            error = messageOf(e);
            const auto* refused = dynamic_cast<const UsbOpenError*>(&e);
            denied = refused != nullptr && refused->refusal() == OpenRefusal::Denied;
        }
        tell([this, request, probe, firmware, error, denied] {
            --readsInFlight;
            Q_EMIT readDone(request, probe, firmware, error, denied);
            Q_EMIT idle();
        });
    };
    if (onceTheLoopRuns) {
        tell([this, work = std::move(work)]() mutable { post(std::move(work)); });
    } else {
        post(std::move(work));
    }
    return request;
}

void ProbeWorker::lookUp(std::function<QString()> work, std::function<void(const QString&)> done) {
    post([this, work = std::move(work), done = std::move(done)] {
        QString result;
        try {
            result = work();
        } catch (const HException&) {
            result.clear();
        }
        tell([done, result] { done(result); });
    });
}

bool ProbeWorker::install(const UsbDeviceInfo& probe, std::shared_ptr<const ImageIdentity> image,
                          EngineFactory makeEngine) {
    if (installRunning) {
        return false;
    }
    installRunning = true;
    post([this, probe, image = std::move(image), makeEngine = std::move(makeEngine)] {
        // The session lives on the worker; its events reach `events`, which lives on this
        // object's thread, queued and in the order they were sent.
        // The page has just read what the probe has: the install sends nothing more.
        InstallSession session(makeEngine(), probe, image, {false, false, false});
        connect(&session, &SessionEvents::started, &events, &SessionEvents::started);
        connect(&session, &SessionEvents::probeStateChanged, &events,
                &SessionEvents::probeStateChanged);
        connect(&session, &SessionEvents::phaseStarted, &events, &SessionEvents::phaseStarted);
        connect(&session, &SessionEvents::progressed, &events, &SessionEvents::progressed);
        connect(&session, &SessionEvents::told, &events, &SessionEvents::told);
        const SessionResult result = session.run();
        // Queued behind the session's last event.
        tell([this, result] {
            installRunning = false;
            Q_EMIT events.finished(result);
            Q_EMIT idle();
        });
    });
    return true;
}
