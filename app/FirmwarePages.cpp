#include "app/FirmwarePages.h"

#include "gen2/KV2FirmwareWidget.h"
#include "gen3/KV3FirmwareWidget.h"
#include "gen3/KVFirmwareWidget.h"

FirmwarePages FirmwarePages::standard() {
    FirmwarePages pages;
    pages.generation2 = [](QWidget* parent) -> KVFirmwareWidget* {
        return new KV2FirmwareWidget(parent);
    };
    pages.generation3 = [](QWidget* parent) -> KVFirmwareWidget* {
        return new KV3FirmwareWidget(parent);
    };
    return pages;
}
