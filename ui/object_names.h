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
// The indicator over the edge of every scrolling list.
inline constexpr const char* scrollIndicator = "scrollIndicator";
// The account menu sheet.
inline constexpr const char* menuSheetContent = "menuSheetContent";
inline constexpr const char* menuDone = "menuDone";
inline constexpr const char* menuIdCard = "menuIdCard";
inline constexpr const char* menuPlansRow = "menuPlansRow";
inline constexpr const char* menuDevicesRow = "menuDevicesRow";
inline constexpr const char* updateButton = "updateButton";
inline constexpr const char* referralButton = "referralButton";
inline constexpr const char* privacyLink = "privacyLink";
inline constexpr const char* termsLink = "termsLink";
inline constexpr const char* supportLink = "supportLink";
// The plan sheet.
inline constexpr const char* planSheetContent = "planSheetContent";
inline constexpr const char* planClose = "planClose";
inline constexpr const char* planRow = "planRow";  // one per tariff, in order
inline constexpr const char* planLoading = "planLoading";
// The stack sheet and its protocol screen; rows carry their id or key in
// the property "rowKey".
inline constexpr const char* stackSheetView = "stackSheetView";
inline constexpr const char* stackClose = "stackClose";
inline constexpr const char* stackRetry = "stackRetry";
inline constexpr const char* stackAutoRow = "stackAutoRow";
inline constexpr const char* stackLocationRow = "stackLocationRow";
inline constexpr const char* protocolScreen = "protocolScreen";
inline constexpr const char* protocolBack = "protocolBack";
inline constexpr const char* protocolInfo = "protocolInfo";
inline constexpr const char* protocolInfoAlert = "protocolInfoAlert";
inline constexpr const char* protocolRow = "protocolRow";
inline constexpr const char* protocolConnect = "protocolConnect";
// The devices sheet.
inline constexpr const char* devicesDone = "devicesDone";
inline constexpr const char* devicesUsage = "devicesUsage";
inline constexpr const char* devicesList = "devicesList";
inline constexpr const char* devicesRemove = "devicesRemove";  // each row's, with the property "deviceId"
inline constexpr const char* devicesShowCode = "devicesShowCode";
inline constexpr const char* devicesQr = "devicesQr";
inline constexpr const char* devicesCode = "devicesCode";
inline constexpr const char* devicesCodeField = "devicesCodeField";
inline constexpr const char* devicesConfirm = "devicesConfirm";
inline constexpr const char* devicesUnlink = "devicesUnlink";
inline constexpr const char* devicesMessage = "devicesMessage";
inline constexpr const char* devicesInstall = "devicesInstall";
}  // namespace kavri::ObjectName
