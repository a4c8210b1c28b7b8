#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// The firmware variants of a generation-2 probe: a target family and a JTAG clocking
// mode. The probe reports its variant as flag bits (ProbeInfo::flags); the generation-2
// page offers it as two radio-button groups whose ids are the enumerator values, and
// builds the image file name from it.
namespace kv2 {

enum class TargetFamily { Alder = 1, Birch = 2, Cedar = 3 };
enum class JtagClocking { MaximumSpeed = 1, VariableSpeedAndAdaptive = 2 };

constexpr std::array<TargetFamily, 3> TARGET_FAMILIES{TargetFamily::Alder, TargetFamily::Birch,
                                                      TargetFamily::Cedar};
constexpr std::array<JtagClocking, 2> JTAG_CLOCKINGS{JtagClocking::MaximumSpeed,
                                                     JtagClocking::VariableSpeedAndAdaptive};

// Variant flags; only the low byte of the flag word is interpreted. Neither family bit
// means Cedar, and the Alder bit wins over the Birch bit.
constexpr quint16 FLAG_ALDER = 0x01;
constexpr quint16 FLAG_BIRCH = 0x02;
constexpr quint16 FLAG_VARIABLE_SPEED = 0x08;
constexpr quint16 INTERPRETED_FLAGS = 0x00FF;

TargetFamily familyOf(quint16 flags);
JtagClocking clockingOf(quint16 flags);
// The flags that a firmware of this variant reports.
quint16 flagsOf(TargetFamily family, JtagClocking clocking);

// Captions: "Alder", "Birch", "Cedar"; "Maximum Speed", "Variable Speed and Adaptive".
QString familyName(TargetFamily family);
QString clockingName(JtagClocking clocking);
// The installed variant as shown on the page, e.g. "Birch, Variable Speed and Adaptive".
QString variantText(quint16 flags);
// The version in decimal, e.g. "2.10".
QString versionText(quint16 major, quint16 minor);

// The parts of the image file name: "alder", "birch", "cedar"; "max", "var".
QString familyFilePart(TargetFamily family);
QString clockingFilePart(JtagClocking clocking);
// The image file of a variant, e.g. "kv_alder_max.bin", "kv_cedar_var.bin".
QString imageFileName(TargetFamily family, JtagClocking clocking);

}  // namespace kv2
