#include "ui/main/mac_setup_guide_presenter.h"

#include <QAbstractButton>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>

#include "app/runtime/manual_executor.h"
#include "platform/sysext/system_extension_manager.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "ui/main/mac_setup_guide_view.h"
#include "ui/object_names.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

using Kind = SystemExtensionInstaller::State::Kind;
using State = SystemExtensionInstaller::State;

TEST(MacSetupGuideRuleTest, TextsStepsAndButtonByInstallerState) {
    const std::string approveTitle = "Остался один шаг";
    const std::string approveText = "Разрешите сетевой модуль «Каври Tunnel» — через него идёт защищённое соединение.";
    const struct {
        State state;
        MacSetupGuideViewState expected;
    } rows[] = {
        {{Kind::notInApplications},
         {"Установить Каври",
          "Каври запущен из образа. Одно нажатие — и он переедет в «Программы» и откроется уже оттуда.", false,
          "Переместить и запустить"}},
        {{Kind::needsApproval}, {approveTitle, approveText, true, "Открыть Системные настройки"}},
        {{Kind::needsReboot}, {"Нужна перезагрузка", "Модуль включится после перезагрузки мака.", false, ""}},
        {State::failed("Нет доступа"), {"Не удалось включить модуль", "Нет доступа", false, "Повторить"}},
        {State::failed(""), {"Не удалось включить модуль", "", false, "Повторить"}},
        {{Kind::idle}, {approveTitle, approveText, false, ""}},
        {{Kind::installing}, {approveTitle, approveText, false, ""}},
        {{Kind::installed}, {approveTitle, approveText, false, ""}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MacSetupGuidePresenter::stateFor(row.state), row.expected) << row.expected.title;
    }
}

class MacSetupGuideTest : public ::testing::Test {
protected:
    MacSetupGuideTest() {
        std::filesystem::create_directories(dir / "Kavri.app" / "Contents");
        std::ofstream(dir / "Kavri.app" / "Contents" / "Info.plist") << "plist";
        std::filesystem::create_directories(dir / "Applications");
    }

    test::TempDir dir;
    ManualExecutor main;
    SystemExtensionManager manager{dir / "Kavri.app"};
    std::vector<std::filesystem::path> opened;
    int terminations = 0;
    SystemExtensionInstaller sysex{main,
                                   {dir / "Kavri.app",
                                    (dir / "Applications").string() + "/",
                                    &manager,
                                    AdministratorShell{},
                                    [this](const std::filesystem::path& bundle) { opened.push_back(bundle); },
                                    [this](std::chrono::milliseconds) { ++terminations; }}};
    std::vector<std::string> urls;
    bool firstOpens = false;
    MacSetupGuidePresenter presenter{sysex, [this](const std::string& url) {
                                         urls.push_back(url);
                                         return firstOpens;
                                     }};
};

TEST_F(MacSetupGuideTest, EachButtonDoesWhatItsStateNeeds) {
    int changes = 0;
    presenter.setOnChange([&] { ++changes; });

    // Moving copies the app into the applications folder and starts the copy.
    sysex.state = State{Kind::notInApplications};
    EXPECT_EQ(presenter.state().button, "Переместить и запустить");
    presenter.buttonClicked();
    main.runUntilIdle();
    EXPECT_TRUE(std::filesystem::exists(dir / "Applications" / "Kavri.app" / "Contents" / "Info.plist"));
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{dir / "Applications" / "Kavri.app"});
    EXPECT_EQ(terminations, 1);

    // The settings: the extensions' place, else the security pane.
    sysex.state = State{Kind::needsApproval};
    EXPECT_TRUE(presenter.state().showsSteps);
    presenter.buttonClicked();
    EXPECT_EQ(urls, (std::vector<std::string>{MacSetupGuidePresenter::extensionSettingsURL,
                                              MacSetupGuidePresenter::securitySettingsURL}));
    urls.clear();
    firstOpens = true;
    presenter.buttonClicked();
    EXPECT_EQ(urls, std::vector<std::string>{MacSetupGuidePresenter::extensionSettingsURL});

    // "Повторить" asks for the activation again: from outside the
    // applications folder the installer says so.
    sysex.state = State::failed("Нет доступа");
    EXPECT_EQ(presenter.state().button, "Повторить");
    presenter.buttonClicked();
    main.runUntilIdle();
    EXPECT_EQ(sysex.state->kind, Kind::notInApplications);
    EXPECT_EQ(presenter.state().title, "Установить Каври");
    EXPECT_GE(changes, 4);

    // No button in the reboot state, and nothing to do.
    sysex.state = State{Kind::needsReboot};
    presenter.buttonClicked();
    main.runUntilIdle();
    EXPECT_EQ(sysex.state->kind, Kind::needsReboot);
}

TEST_F(MacSetupGuideTest, TheViewShowsTheStepsAndTheButtonOnlyWhereTheStateHasThem) {
    test::qtApp();
    Animations::setEnabled(false);
    MacSetupGuideView view;
    view.resize(361, 656);
    view.bind(presenter);
    view.show();
    const auto button = [&] { return view.findChild<QAbstractButton*>(ObjectName::setupGuideButton); };

    sysex.state = State{Kind::needsApproval};
    EXPECT_TRUE(view.viewState().showsSteps);
    ASSERT_TRUE(button());
    EXPECT_EQ(button()->text(), "Открыть Системные настройки");
    QTest::mouseClick(button(), Qt::LeftButton, {}, button()->rect().center());
    EXPECT_EQ(urls.size(), 2u);

    sysex.state = State{Kind::needsReboot};
    EXPECT_FALSE(view.viewState().showsSteps);
    EXPECT_FALSE(button());

    sysex.state = State::failed("");
    ASSERT_TRUE(button());
    EXPECT_EQ(button()->text(), "Повторить");
    EXPECT_TRUE(view.rect().contains(button()->geometry()));
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
