#pragma once

// The object names of the app's windows and controls, by which tests find them.
namespace kavri::ObjectName {
inline constexpr const char* mainWindow = "main";
inline constexpr const char* rootView = "rootView";
inline constexpr const char* menuBarMenu = "menuBarMenu";
inline constexpr const char* menuOpenWindow = "menuOpenWindow";
inline constexpr const char* menuQuit = "menuQuit";
}  // namespace kavri::ObjectName
