#pragma once

// The object names of the app's windows and controls, by which tests find them.
namespace kavri::ObjectName {
inline constexpr const char* mainWindow = "main";
inline constexpr const char* rootView = "rootView";
inline constexpr const char* menuBarMenu = "menuBarMenu";
inline constexpr const char* menuStatus = "menuStatus";
inline constexpr const char* menuConnect = "menuConnect";
inline constexpr const char* menuOpenWindow = "menuOpenWindow";
inline constexpr const char* menuQuit = "menuQuit";
// The main window's root view.
inline constexpr const char* menuButton = "menuButton";
inline constexpr const char* logoButton = "logoButton";
inline constexpr const char* connectButton = "connectButton";
inline constexpr const char* bannerButton = "bannerButton";  // "Вернуть доступ", "Выбрать тариф"
inline constexpr const char* payButton = "payButton";        // "Оплатить"
inline constexpr const char* setupGuide = "setupGuide";
inline constexpr const char* setupGuideButton = "setupGuideButton";
inline constexpr const char* menuSheet = "menuSheet";
inline constexpr const char* plansSheet = "plansSheet";
inline constexpr const char* devicesSheet = "devicesSheet";
inline constexpr const char* stackSheet = "stackSheet";
inline constexpr const char* stackAlert = "stackAlert";
inline constexpr const char* stackCard = "stackCard";
}  // namespace kavri::ObjectName
