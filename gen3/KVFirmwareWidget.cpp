#include "gen3/KVFirmwareWidget.h"

KVFirmwareWidget::KVFirmwareWidget(QWidget* parent) : QWidget(parent) {}
