#pragma once

#include <QtGlobal>

// USB identities of the Korvane probes: one vendor id, a product id per generation and
// mode.
constexpr quint16 PROBE_VENDOR_ID = 0x131B;
constexpr quint16 PRODUCT_ID_GENERATION2 = 0x0002;             // application firmware
constexpr quint16 PRODUCT_ID_GENERATION3 = 0x0003;             // resident loader
constexpr quint16 PRODUCT_ID_GENERATION2_BOOTLOADER = 0x00FF;  // generation 2, in its bootloader

// Discovery examines at most this many devices per enumeration.
constexpr int ENUMERATION_BOUND = 127;
