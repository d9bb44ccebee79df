#pragma once
// Identifiers of the resource library. The numbers are the interface between the program
// and Resource.so; names are given to those the code refers to in more than one place.

namespace orbiscope {

// The kinds of resource; the values are part of Resource.so's lookup function.
enum class ResourceKind : int {
  String = 1,
  Html = 2,
  Picture = 3,
  Icon = 4,
  Clip = 5,
  Menu = 6,
};

// The exported lookup function of Resource.so:
//   extern "C" bool OrbiscopeFindResource(int kind, int id,
//                                         const unsigned char** data, std::size_t* size);
inline constexpr const char* kResourceLookupSymbol = "OrbiscopeFindResource";

namespace res {
// strings
inline constexpr int kStrAbout = 101;
inline constexpr int kStrListingHead = 102;   // opening HTML of a listing, "%1" is the URL
inline constexpr int kStrListingTail = 103;   // closing HTML of a listing
inline constexpr int kStrNoDevice = 105;      // also the text of the device-removed box
inline constexpr int kStrDeviceNotAdded = 106;
inline constexpr int kStrDirectX = 124;
inline constexpr int kStrCom = 125;
inline constexpr int kStrTimeNone = 126;      // 126..129: the time-mode names
inline constexpr int kStrFrameRateRefused = 130;
inline constexpr int kStrSettingsTitle = 131;
inline constexpr int kStrDeviceMenu = 132;
inline constexpr int kStrSizeMenu = 133;
inline constexpr int kStrTimeMenu = 134;
inline constexpr int kStrPasswordTooShort = 160;
inline constexpr int kStrPortRefused = 161;
inline constexpr int kStrAppTitle = 163;
inline constexpr int kStrSplashFont = 165;    // the face of the splash and the dialogs
inline constexpr int kStrNoAddress = 166;
inline constexpr int kStrBadPort = 167;       // also the text of the bind-failure box
inline constexpr int kStrRunning = 168;
inline constexpr int kStrStopped = 169;
inline constexpr int kStrFolderPicker = 170;
inline constexpr int kStrNoDirectories = 171;
inline constexpr int kStrNoHostName = 173;
inline constexpr int kStrSettingsBroken = 185;  // "%1" is the file, line and reason
inline constexpr int kStrFolderNotEmpty = 186;  // "%1" is the chosen folder
inline constexpr int kStrNoCamera = 212;        // status text while the camera is away
inline constexpr int kStrNoSignal = 213;        // drawn into the picture served meanwhile
inline constexpr int kStrTurnUpright = 214;     // 214..217: the turn menu's choices, 0 to 270 degrees
inline constexpr int kStrMirrorNone = 218;      // 218..220: the mirror menu's choices, none, horizontal, vertical
inline constexpr int kStrNoCameraPassword = 230;  // "%1" is the settings file
inline constexpr int kStrSettingsNotSaved = 231;  // "%1" is the settings file

// HTML pages
inline constexpr int kHtmlDeleted = 1000;
inline constexpr int kHtml400 = 1001;
inline constexpr int kHtml401 = 1003;
inline constexpr int kHtml404 = 1004;
inline constexpr int kHtmlOther = 1005;
inline constexpr int kHtml302 = 1008;

// pictures, icons, clips, menus
inline constexpr int kIconRunning = 128;
inline constexpr int kIconStopped = 149;
inline constexpr int kPicSplash = 129;
inline constexpr int kPicMainBackground = 132;
inline constexpr int kPicOverlayLogo = 229;
inline constexpr int kClipStopped = 128;
inline constexpr int kClipStarting = 214;
inline constexpr int kMenuTray = 130;
}  // namespace res

}  // namespace orbiscope
