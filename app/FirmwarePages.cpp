#include "app/FirmwarePages.h"

#include "gen3/KV3FirmwareWidget.h"
#include "gen3/KVFirmwareWidget.h"

FirmwarePages FirmwarePages::standard() {
    FirmwarePages pages;
    pages.generation2 = [](QWidget*) -> KVFirmwareWidget* { return nullptr; };
    pages.generation3 = [](QWidget* parent) -> KVFirmwareWidget* {
        return new KV3FirmwareWidget(parent);
    };
    return pages;
}
