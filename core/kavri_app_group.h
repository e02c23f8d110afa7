#pragma once

#include <filesystem>

#include "core/kavri_store.h"

namespace kavri {

// The shared container as the two programs know it: the shared directory
// and the store in it.
class KavriAppGroup {
public:
    static KavriStore& userDefaults() { return KavriStore::shared(); }
    static const std::filesystem::path& containerURL() { return KavriStore::directory(); }
};

}  // namespace kavri
