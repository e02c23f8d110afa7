#include "ui/main/stack/stack_sheet_view.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>

#include "app/runtime/manual_executor.h"
#include "platform/runtime/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "ui/main/stack/navigation_bar.h"
#include "ui/main/stack/protocol_screen_view.h"
#include "ui/main/stack/stack_sheet_presenter.h"
#include "ui/object_names.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

using json = nlohmann::json;

StackAPI::Catalog catalog(bool manual) {
    const json protocols = {"reality", "hy2"};
    return StackAPI::Catalog::fromJson(
        {{"manual_allowed", manual},
         {"locations",
          {{{"id", "de"}, {"title", "Германия"}, {"country_code", "DE"}, {"protocols", protocols}},
           {{"id", "fi"}, {"title", "Финляндия"}, {"country_code", "FI"}, {"protocols", protocols}}}},
         {"protocols", {{{"key", "reality"}, {"title", "Reality"}}, {{"key", "hy2"}, {"title", "Hysteria 2"}}}}});
}

class StackSheetViewTest : public ::testing::Test {
protected:
    StackSheetViewTest() {
        test::qtApp();
        Animations::setEnabled(false);
    }
    ~StackSheetViewTest() override {
        view.reset();
        Animations::setEnabled(true);
    }

    StackSheetView& show(bool manual) {
        holder.catalog = catalog(manual);
        view = std::make_unique<StackSheetView>();
        view->bind(std::make_unique<StackSheetPresenter>(
            main, StackSheetPresenter::Deps{
                      holder, [](std::string, std::function<void(bool)> done) {
                          done(true);
                          return StoreCalls::Handle();
                      },
                      std::nullopt,
                      std::string("reality"), pinger,
                      [this](const auto& l, const auto& p) { applied.push_back({l, p}); }, [this] { ++locked; },
                      nullptr, [this] { ++closed; }, nullptr, clock}));
        view->resize(361, 543);
        view->show();
        return *view;
    }

    template <class W = QAbstractButton>
    W* find(const char* name, const QString& key = {}) {
        for (auto* w : view->findChildren<W*>(name))
            if (w->isVisible() && (key.isEmpty() || w->property("rowKey").toString() == key)) return w;
        return nullptr;
    }
    void click(QAbstractButton* button) {
        ASSERT_TRUE(button);
        QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    }

    ManualExecutor main;
    FakeClock clock;
    test::TempDir dir;
    KavriStore store{dir.path()};
    CatalogHolder holder{main, StackAPI(StackAPI::session(), store, clock), nullptr, clock};
    StackPinger pinger{main, clock};
    std::unique_ptr<StackSheetView> view;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> applied;
    int locked = 0, closed = 0;
};

TEST_F(StackSheetViewTest, ALocationOpensItsProtocolScreenWhoseConnectHandsOverTheChoice) {
    auto& v = show(true);
    EXPECT_EQ(v.viewState(), v.presenter()->state());
    click(find(ObjectName::stackLocationRow, "fi"));
    auto* screen = find<ProtocolScreenView>(ObjectName::protocolScreen);
    ASSERT_TRUE(screen);
    EXPECT_EQ(screen->findChild<NavigationBar*>()->title(), "Финляндия");
    click(find(ObjectName::protocolRow, "hy2"));
    click(find(ObjectName::protocolConnect));
    main.runUntilIdle();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].first, "fi");
    EXPECT_EQ(applied[0].second, "hy2");
    EXPECT_EQ(closed, 1);

    click(find(ObjectName::protocolBack));
    EXPECT_FALSE(find<ProtocolScreenView>(ObjectName::protocolScreen));
    EXPECT_TRUE(find(ObjectName::stackAutoRow));
    click(find(ObjectName::stackClose));
    main.runUntilIdle();
    EXPECT_EQ(closed, 2);
}

TEST_F(StackSheetViewTest, LockedRowsTellOnLockedAndOpenNothing) {
    show(false);
    click(find(ObjectName::stackLocationRow, "de"));
    click(find(ObjectName::stackAutoRow));
    EXPECT_EQ(locked, 2);
    EXPECT_FALSE(find<ProtocolScreenView>(ObjectName::protocolScreen));
    EXPECT_TRUE(applied.empty());
}

}  // namespace
}  // namespace kavri
