#pragma once
// The shared store of an in-process test, emptied of what an earlier test
// left, with the rule files seeded from the source tree as at first launch.
#include <filesystem>

#include "core/kavri_store.h"
#include "core/ru_rules.h"

namespace kavri::test {

inline KavriStore& freshSharedStore() {
    KavriStore& store = KavriStore::shared();
    for (const auto& [key, value] : store.snapshot()) store.removeObject(key);
    RuRules::setResourcesDirectory(std::filesystem::path(KAVRI_SOURCE_DIR) / "resources");
    RuRules::ensureSeeded();
    return store;
}

}  // namespace kavri::test
