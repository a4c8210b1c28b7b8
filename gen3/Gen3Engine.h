#pragma once

#include "app/HException.h"
#include "gen3/LoaderFrames.h"
#include "probe/ProbeEngine.h"
#include "probe/StepFailure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <functional>

class HDataLink;

// Link time-out for every transfer of an install.
constexpr int INSTALL_TIMEOUT_MS = 60000;

// The erase, download or verify step of an install failed: the step's prefix ("Erase
// failed : ", ...) before the command's message. Such a step reports its total on its way
// out, which a progress display needs to know.
class TransferStepFailure : public StepFailure {
public:
    using StepFailure::StepFailure;
};

// The generation-3 probe: reads what its loader reports as installed, and installs an
// image as the one sequence that the generation-3 page and the command line both run:
// connect to the loader, erase, write and CRC-check the image in TRANSFER_CHUNK-byte
// chunks from IMAGE_BASE_ADDRESS, disconnect. Each phase is reported through `progress`:
// it starts with (0, size, text, "bytes"), moves with (done, -1, null, null) after each
// chunk and ends with (size, -1, null, null), also when it fails.
class Gen3Engine : public ProbeEngine {
    Q_OBJECT

public:
    explicit Gen3Engine(QObject* parent = nullptr);

    // Whether `image` starts with a generation-3 header carrying the image marker: then
    // fills in what the header says and what the install would refuse in the image.
    // Otherwise returns false and says why in `notMine`.
    static bool examine(ImageIdentity& image, QString& notMine);
    // The largest image a generation-3 probe holds, from IMAGE_BASE_ADDRESS.
    static qint64 largestImage();

    int generation() const override { return 3; }

    // Get loader info on a link of its own, nothing else sent.
    InstalledFirmware readInstalled(const UsbDeviceInfo& probe) override;
    // checkInstallImage on the image's bytes: a file that is no installable image is
    // refused before the probe is touched.
    void check(const UsbDeviceInfo& probe, const ImageIdentity& image) override;
    InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) override;
    // The loader keeps running through an install: what it reports now.
    InstalledFirmware awaitReturn(const UsbDeviceInfo& probe) override;
    bool restartsAfterInstall() const override { return false; }
    // The same version as the image's header.
    bool runs(const InstalledFirmware& firmware, const ImageIdentity& image) const override;
    // What is wrong with the file as an image, as the page says under "Invalid File".
    QString refusal(const ImageIdentity& image) const override;
    // "cannot open " and the path.
    QString cannotOpen(const QString& path) const override;

    // The install of `image` on `probe`, on a link of its own (opened by the first step,
    // closed by the last or by a failure).
    InstallPlan plan(const UsbDeviceInfo& probe, const QByteArray& image);
    // The same sequence on a link that is open already.
    void installImage(HDataLink& link, QByteArrayView image);

    // The three transfer steps: erase, write or CRC-check `size` bytes from `address` in
    // chunks of TRANSFER_CHUNK bytes. A failing command ends the step with
    // TransferStepFailure; a CRC that differs is "crc check mismatch". A range that does
    // not fit the 32-bit address space is refused before anything is sent.
    void eraseImage(HDataLink& link, quint32 address, int size);
    void downloadImage(HDataLink& link, quint32 address, int size, const quint8* data);
    void verifyImage(HDataLink& link, quint32 address, int size, const quint8* data);

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
    // The sequence on the link that `link` gives when a step first needs it; the last
    // step then calls `done`.
    InstallPlan sequence(const std::function<HDataLink&()>& link, const QByteArray& image,
                         const std::function<void()>& done);
};
