#include "probe/ProbeEngine.h"

#include "gen2/Gen2Engine.h"
#include "gen3/Gen3Engine.h"

std::unique_ptr<ProbeEngine> ProbeEngine::forGeneration(std::optional<int> generation) {
    if (generation == 2) {
        return std::make_unique<Gen2Engine>();
    }
    if (generation == 3) {
        return std::make_unique<Gen3Engine>();
    }
    return nullptr;
}
