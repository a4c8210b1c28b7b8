#include "FuzzImages.h"

#include "MemoryFile.h"

#include "gen2/KV2ImageLayout.h"
#include "gen3/Gen3Engine.h"
#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <array>

namespace {

constexpr std::array<int, GEN3_IMAGE_CHOICES> GEN3_SIZES = {64, TRANSFER_CHUNK + 1,
                                                            2 * TRANSFER_CHUNK + 3616};
constexpr std::array<int, GEN2_IMAGE_CHOICES> GEN2_SIZES = {1024, kv2::MAX_IMAGE_SIZE,
                                                            kv2::MAX_IMAGE_SIZE + 1};

}  // namespace

QByteArray gen3FuzzImage(int choice) {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 2;
    recipe.versionMinor = 10;
    recipe.description = QStringLiteral("fuzz");
    recipe.size = GEN3_SIZES[size_t(choice % GEN3_IMAGE_CHOICES)];
    recipe.seed = quint32(recipe.size);
    return generateGen3Image(recipe);
}

const KV2FirmwareImage& gen2FuzzImage(int choice) {
    static const std::array<KV2FirmwareImage, GEN2_IMAGE_CHOICES> images = [] {
        std::array<KV2FirmwareImage, GEN2_IMAGE_CHOICES> loaded;
        MemoryFile file;
        for (size_t n = 0; n < loaded.size(); ++n) {
            KV2ImageSpec spec;
            spec.size = GEN2_SIZES[n];
            spec.flags = 0x09;  // Alder, Variable Speed and Adaptive
            spec.seed = quint32(n + 1);
            file.set(generateKV2Image(spec));
            loaded[n].load(HPath(file.path()), QString());
        }
        return loaded;
    }();
    return images[size_t(choice % GEN2_IMAGE_CHOICES)];
}
