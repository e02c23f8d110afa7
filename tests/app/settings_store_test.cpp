#include "app/settings/settings_store.h"

#include <gtest/gtest.h>

#include "app/runtime/manual_executor.h"
#include "core/kavri_defaults_key.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

TEST(SettingsStoreTest, LoadsTheStoredAppsOrNothingAtAll) {
    const Tier0App bare{"Bank", "ru.bank.app", std::nullopt};
    const Tier0App signed_{"Mail", "ru.mail", "anchor apple generic"};
    const struct {
        const char* name;
        std::optional<PlistValue> stored;
        std::vector<Tier0App> expected;
    } cases[] = {
        {"nothing stored", std::nullopt, {}},
        {"two apps in order",
         Data{R"([{"name":"Mail","bundle_id":"ru.mail","designated_requirement":"anchor apple generic"},)"
              R"({"name":"Bank","bundle_id":"ru.bank.app","designated_requirement":null,"extra":1}])"},
         {signed_, bare}},
        {"without requirements", Data{R"([{"name":"Bank","bundle_id":"ru.bank.app"}])"}, {bare}},
        {"an empty array", Data{"[]"}, {}},
        {"text, not data", std::string(R"([{"name":"Bank","bundle_id":"ru.bank.app"}])"), {}},
        {"an object, not an array", Data{R"({"name":"Bank","bundle_id":"ru.bank.app"})"}, {}},
        {"not JSON", Data{"[{"}, {}},
        {"one element without a bundle id", Data{R"([{"name":"Bank","bundle_id":"ru.bank.app"},{"name":"X"}])"}, {}},
        {"a numeric name", Data{R"([{"name":5,"bundle_id":"ru.bank.app"}])"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        KavriStore shared(dir.path());
        shared.set(KavriDefaultsKey::userAddedTier0Apps, c.stored);
        ManualExecutor main;
        const SettingsStore settings(main, shared);
        EXPECT_EQ(settings.userAddedTier0Apps.get(), c.expected);
        EXPECT_EQ(shared.object(KavriDefaultsKey::userAddedTier0Apps), c.stored);  // left as it was
    }
}

}  // namespace
}  // namespace kavri
