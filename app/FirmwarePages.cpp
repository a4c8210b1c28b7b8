#include "app/FirmwarePages.h"

#include "gen3/KVFirmwareWidget.h"

FirmwarePages FirmwarePages::standard() {
    FirmwarePages pages;
    pages.generation2 = [](QWidget*) -> KVFirmwareWidget* { return nullptr; };
    pages.generation3 = [](QWidget*) -> KVFirmwareWidget* { return nullptr; };
    return pages;
}
