#pragma once

#include "gen3/LoaderFrames.h"

#include <QByteArrayView>
#include <QObject>
#include <QtGlobal>

class HDataLink;

// Link time-out for every transfer of an install.
constexpr int INSTALL_TIMEOUT_MS = 60000;

// Installs a generation-3 image on an open link and reports each phase through
// `progress`: a phase starts with (0, size, text, "bytes"), moves with (done, -1, null,
// null) after each chunk and ends with (size, -1, null, null), also when it fails. The
// firmware page forwards the signal to the main window; the command-line tool prints it.
class Gen3Installer : public QObject {
    Q_OBJECT

public:
    explicit Gen3Installer(QObject* parent = nullptr);

    // The three transfer steps: erase, write or CRC-check `size` bytes from `address` in
    // chunks of TRANSFER_CHUNK bytes. A failing command ends the step with the step's
    // prefix ("Erase failed : ", "Download failed : ", "Verify failed : ") before its
    // message; a CRC that differs is "crc check mismatch". A range that does not fit the
    // 32-bit address space is refused before anything is sent.
    void eraseImage(HDataLink& link, quint32 address, int size);
    void downloadImage(HDataLink& link, quint32 address, int size, const quint8* data);
    void verifyImage(HDataLink& link, quint32 address, int size, const quint8* data);

    // The whole install on an open link: sets the link's time-out to INSTALL_TIMEOUT_MS,
    // connects to the loader, erases, downloads and verifies `image` at
    // IMAGE_BASE_ADDRESS and disconnects. Connect and disconnect failures keep their own
    // messages. An image that cannot be installed (checkInstallImage) is refused before
    // the link is touched. After a failure no disconnect is sent; the caller closes the
    // link.
    void installImage(HDataLink& link, QByteArrayView image);

    // Whether `message` is the failure of the erase, download or verify step (the step's
    // prefix before the command's message): such a step reports its total on its way out.
    static bool isStepFailure(const char* message);

Q_SIGNALS:
    void progress(int step, int steps, const char* taskdesc, const char* units);

private:
    using Command = void (*)(HDataLink& link, quint32 address, quint32 count, const quint8* data);
    struct Step {
        const char* statusText;
        const char* failurePrefix;
        Command command;
    };
    static const Step ERASE_STEP;
    static const Step DOWNLOAD_STEP;
    static const Step VERIFY_STEP;

    void runStep(const Step& step, HDataLink& link, quint32 address, int size, const quint8* data);
};
