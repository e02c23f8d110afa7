#include "ui/sheets/mac_devices_sheet.h"

#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/ui/qt_app.h"
#include "tests/ui/sheets/qr_reader.h"
#include "ui/object_names.h"
#include "ui/sheets/mac_devices_sheet_presenter.h"
#include "ui/sheets/qr_code_view.h"
#include "ui/style/animations.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"

namespace kavri {
namespace {

using Section = MacDevicesSheetViewState::Section;

void keepOnFailure(QWidget& widget) {
    const char* dir = std::getenv("KAVRI_ARTIFACTS");
    if (!dir || !::testing::Test::HasFailure()) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    widget.grab().save(QString("%1/%2.png").arg(dir, info->name()));
}

GrayImage gray(const QImage& picture) {
    const QImage g = picture.convertToFormat(QImage::Format_Grayscale8);
    GrayImage out;
    out.width = g.width();
    out.height = g.height();
    for (int y = 0; y < g.height(); ++y)
        out.pixels.insert(out.pixels.end(), g.constScanLine(y), g.constScanLine(y) + g.width());
    return out;
}

class MacDevicesSheetTest : public ::testing::Test {
protected:
    MacDevicesSheetTest() {
        Animations::setEnabled(false);
        sheet.resize(361, 543);
        sheet.show();
    }
    ~MacDevicesSheetTest() override {
        keepOnFailure(sheet);
        Animations::setEnabled(true);
    }

    template <class T = QWidget>
    QList<T*> all(const char* name) {
        QList<T*> shown;
        for (auto* w : sheet.findChildren<T*>(name))
            if (w->isVisibleTo(&sheet)) shown.push_back(w);
        return shown;
    }
    template <class T = QWidget>
    T* one(const char* name) {
        const auto found = all<T>(name);
        return found.size() == 1 ? found.front() : nullptr;
    }
    // Draws `state` with the layout settled, as the next frame shows it.
    void draw(const MacDevicesSheetViewState& state) {
        sheet.setState(state);
        QCoreApplication::processEvents();
    }
    void click(QWidget* w) {
        ASSERT_TRUE(w);
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    }

    QApplication& app = test::qtApp();
    MacDevicesSheet sheet;
};

TEST_F(MacDevicesSheetTest, TheOwnersListAndTheSharedCodeAreDrawn) {
    MacDevicesSheetViewState s;
    s.showsDevices = true;
    s.usageText = "Вы можете добавить ещё 2 из 5 устройств";
    s.rows = {{"p1", "iPhone", "добавлено давно", true, true},
              {"w1", "Работа", "Удалено — доступ отключён", false, false}};
    s.section = Section::share;
    s.code = "K7M2X9";
    s.qr = MacDevicesSheetPresenter::qrImage("kavri://link?code=K7M2X9");
    draw(s);

    EXPECT_EQ(one<QLabel>(ObjectName::devicesUsage)->text(), "Вы можете добавить ещё 2 из 5 устройств");
    const auto removes = all(ObjectName::devicesRemove);
    ASSERT_EQ(removes.size(), 1);  // a removed device offers none
    QSignalSpy removeClicks(&sheet, &MacDevicesSheet::removeClicked);
    click(removes.front());
    ASSERT_EQ(removeClicks.count(), 1);
    EXPECT_EQ(removeClicks.at(0).at(0).toString(), "p1");

    EXPECT_EQ(one(ObjectName::devicesShowCode), nullptr);  // the code took the button's place
    EXPECT_EQ(one<QLabel>(ObjectName::devicesCode)->text(), "K7M2X9");
    auto* qr = one<QrCodeView>(ObjectName::devicesQr);
    ASSERT_TRUE(qr);
    EXPECT_EQ(test::readQRCodes(gray(qr->grab().toImage()), 0), std::vector<std::string>{"kavri://link?code=K7M2X9"});
}

// A list taller than the sheet scrolls under an indicator that lies over
// it: the list keeps the same distance from both edges.
TEST_F(MacDevicesSheetTest, ALongListStaysCentredWhileTheIndicatorShows) {
    MacDevicesSheetViewState s;
    s.showsDevices = true;
    s.usageText = "Все 9 устройств заняты — удалите лишнее, чтобы добавить новое";
    for (int i = 0; i < 9; ++i)
        s.rows.push_back({"d" + std::to_string(i), "Устройство " + std::to_string(i), "добавлено давно", true, i < 8});
    s.section = Section::share;
    draw(s);

    auto* list = one(ObjectName::devicesList);
    ASSERT_TRUE(list);
    const QRect r(list->mapTo(&sheet, QPoint(0, 0)), list->size());
    EXPECT_EQ(r.left(), sheet.width() - 1 - r.right());
    EXPECT_TRUE(one(ObjectName::scrollIndicator));
}

TEST_F(MacDevicesSheetTest, JoiningTakesTheTypedCodeAndShowsTheError) {
    MacDevicesSheetViewState s;
    s.section = Section::join;
    s.joinExplanation = "Введите код с устройства, откуда переносите";
    s.entered = "ABCD";
    s.message = "Код не подошёл или уже истёк — попросите новый";
    s.messageColor = PaletteColor::danger;
    draw(s);

    EXPECT_EQ(one(ObjectName::devicesList), nullptr);
    auto* field = one<QLineEdit>(ObjectName::devicesCodeField);
    ASSERT_TRUE(field);
    EXPECT_EQ(field->text(), "ABCD");
    auto* message = one<QLabel>(ObjectName::devicesMessage);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text(), "Код не подошёл или уже истёк — попросите новый");
    EXPECT_EQ(message->palette().color(QPalette::WindowText), Palette::danger());

    QSignalSpy edits(&sheet, &MacDevicesSheet::codeEdited);
    field->setFocus();
    QTest::keyClicks(field, "e");
    ASSERT_EQ(edits.count(), 1);
    EXPECT_EQ(edits.at(0).at(0).toString(), "ABCDe");

    QSignalSpy confirms(&sheet, &MacDevicesSheet::confirmClicked);
    click(one(ObjectName::devicesConfirm));  // disabled: five characters or fewer
    EXPECT_EQ(confirms.count(), 0);
    s.entered = "ABCDEF";
    s.confirmEnabled = true;
    s.confirmOpacity = 1;
    draw(s);
    EXPECT_EQ(field->text(), "ABCDEF");
    click(one(ObjectName::devicesConfirm));
    EXPECT_EQ(confirms.count(), 1);
}

TEST_F(MacDevicesSheetTest, AMemberSeesOnlyUnlinkingAndTheInstallSection) {
    MacDevicesSheetViewState s;
    s.section = Section::member;
    s.showsDevices = false;
    draw(s);
    EXPECT_EQ(one(ObjectName::devicesUsage), nullptr);
    EXPECT_EQ(one(ObjectName::devicesCodeField), nullptr);
    EXPECT_EQ(one(ObjectName::devicesShowCode), nullptr);
    EXPECT_EQ(one(ObjectName::devicesMessage), nullptr);  // no message yet
    QSignalSpy unlinks(&sheet, &MacDevicesSheet::unlinkClicked);
    QSignalSpy installs(&sheet, &MacDevicesSheet::installClicked);
    QSignalSpy done(&sheet, &MacDevicesSheet::doneClicked);
    click(one(ObjectName::devicesUnlink));
    click(one(ObjectName::devicesInstall));
    click(one(ObjectName::devicesDone));
    QCoreApplication::processEvents();  // "Готово" reaches the sheet from the event loop
    EXPECT_EQ(unlinks.count(), 1);
    EXPECT_EQ(installs.count(), 1);
    EXPECT_EQ(done.count(), 1);

    s.unlinkEnabled = false;
    s.unlinkLabel = "Отвязываем…";
    draw(s);
    click(one(ObjectName::devicesUnlink));
    EXPECT_EQ(unlinks.count(), 1);
    EXPECT_EQ(one<PlainButton>(ObjectName::devicesUnlink)->text(), "Отвязываем…");
}

}  // namespace
}  // namespace kavri
