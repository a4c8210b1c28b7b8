#include "probe/InstallPhase.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<InstallPhase, const char*>, 9> NAMES{{
    {InstallPhase::Connecting, "connecting"},
    {InstallPhase::EnteringBootloader, "enteringBootloader"},
    {InstallPhase::WaitingForBootloader, "waitingForBootloader"},
    {InstallPhase::Preparing, "preparing"},
    {InstallPhase::Erasing, "erasing"},
    {InstallPhase::Writing, "writing"},
    {InstallPhase::Verifying, "verifying"},
    {InstallPhase::Finishing, "finishing"},
    {InstallPhase::Restarting, "restarting"},
}};

}  // namespace

QString phaseName(InstallPhase phase) {
    for (const auto& [kind, name] : NAMES) {
        if (kind == phase) {
            return QLatin1String(name);
        }
    }
    return QString();
}

std::optional<InstallPhase> phaseFromName(const QString& name) {
    for (const auto& [kind, text] : NAMES) {
        if (name == QLatin1String(text)) {
            return kind;
        }
    }
    return std::nullopt;
}
