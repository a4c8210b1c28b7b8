#include "cli/GenerationInstall.h"

#include "cli/Gen2Install.h"
#include "cli/Gen3Install.h"

GenerationInstall::~GenerationInstall() = default;

std::unique_ptr<GenerationInstall> GenerationInstall::forGeneration(int generation) {
    if (generation == 2) {
        return std::make_unique<Gen2Install>();
    }
    if (generation == 3) {
        return std::make_unique<Gen3Install>();
    }
    return nullptr;
}
