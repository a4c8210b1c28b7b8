#include "gen3/KVFirmwareWidget.h"

#include "app/KorvaneConfigurer.h"

KVFirmwareWidget::KVFirmwareWidget(QWidget* parent) : QWidget(parent) {}

void KVFirmwareWidget::setPollingEnabled(bool enabled) {
    if (mainWindow != nullptr) {
        mainWindow->pollingEnabled = enabled;
    }
}
