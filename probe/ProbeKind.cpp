#include "probe/ProbeKind.h"

#include "device/UsbIds.h"

ProbeKind ProbeKind::of(quint16 productId) {
    switch (productId) {
        case PRODUCT_ID_GENERATION2:
            return {2, QStringLiteral("application")};
        case PRODUCT_ID_GENERATION2_BOOTLOADER:
            // A probe left in its bootloader is a generation-2 probe that can take an
            // application.
            return {2, QStringLiteral("bootloader")};
        case PRODUCT_ID_GENERATION3:
            return {3, QStringLiteral("loader")};
        default:
            return {std::nullopt, QStringLiteral("unknown")};
    }
}
