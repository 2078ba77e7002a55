#include "QuarlinCore/model/Volume.h"

#include "QuarlinCore/io/Hashing.h"

std::size_t std::hash<quarlin::Volume>::operator()(const quarlin::Volume& volume) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, volume.id);
    quarlin::hashCombine(seed, volume.identity);
    quarlin::hashCombine(seed, volume.filesystemType);
    quarlin::hashCombine(seed, volume.label);
    quarlin::hashCombine(seed, volume.totalBytes);
    quarlin::hashCombine(seed, volume.usedBytes);
    quarlin::hashCombine(seed, volume.isInternal);
    return seed;
}
