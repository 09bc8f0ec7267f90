// The program's dialog templates: the main window (102), the About box (100)
// and the serial-number entry (105), with the ids of their controls.
#pragma once

#include "platform/dialog.h"

namespace resources {

inline constexpr int kMainDialogId = 102;
inline constexpr int kAboutDialogId = 100;
inline constexpr int kSerialDialogId = 105;

// Main window controls.
inline constexpr int IDC_UNIT_LIST = 1001;
inline constexpr int IDC_SERIAL = 1002;
inline constexpr int IDC_PCB_REVISION = 1003;
inline constexpr int IDC_CURRENT_VERSION = 1004;
inline constexpr int IDC_CURRENT_DATE = 1005;
inline constexpr int IDC_NEW_VERSION = 1006;
inline constexpr int IDC_NEW_DATE = 1007;
inline constexpr int IDC_PROGRESS = 1008;
inline constexpr int IDC_UPDATE = 1009;
inline constexpr int IDC_INFO_1 = 1010;
inline constexpr int IDC_INFO_2 = 1011;
inline constexpr int IDC_INFO_3 = 1012;
inline constexpr int IDC_DO_NOT_INTERRUPT = 1013;
inline constexpr int IDC_STATUS_LINE = 1014;
inline constexpr int IDC_CONGRATULATIONS = 1015;
inline constexpr int IDC_BANK = 1016;
inline constexpr int IDC_BANK_LABEL = 1017;
inline constexpr int IDC_MANUFACTURE_DATE = 1020;
inline constexpr int IDC_CLOSE = platform::kIdOk;
inline constexpr int IDC_CANCEL = platform::kIdCancel;

// Serial-number entry.
inline constexpr int IDC_SERIAL_EDIT = 1002;

// The About command in the system menu (string 101).
inline constexpr unsigned IDM_ABOUTBOX = 16;
inline constexpr const char kAboutMenuText[] = "&About Quil Firmware Update...";

const platform::DialogTemplate& MainDialogTemplate();
const platform::DialogTemplate& AboutDialogTemplate();
const platform::DialogTemplate& SerialNumberDialogTemplate();

}  // namespace resources
