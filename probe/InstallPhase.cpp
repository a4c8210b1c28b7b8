#include "probe/InstallPhase.h"

#include "probe/NameTable.h"

namespace {

constexpr NameTable<InstallPhase, 9> NAMES{{{
    {InstallPhase::Connecting, "connecting"},
    {InstallPhase::EnteringBootloader, "enteringBootloader"},
    {InstallPhase::WaitingForBootloader, "waitingForBootloader"},
    {InstallPhase::Preparing, "preparing"},
    {InstallPhase::Erasing, "erasing"},
    {InstallPhase::Writing, "writing"},
    {InstallPhase::Verifying, "verifying"},
    {InstallPhase::Finishing, "finishing"},
    {InstallPhase::Restarting, "restarting"},
}}};

}  // namespace

QString phaseName(InstallPhase phase) {
    return NAMES.of(phase);
}

std::optional<InstallPhase> phaseFromName(const QString& name) {
    return NAMES.find(name);
}
