// Numbers of the driver's Windows resources (camlet32.rc) and of the controls and commands in
// them. Plain #defines, so that the resource compiler reads this file too.
#pragma once

// Icons: the 32 x 32 class icon (also in the About box) and the 16 x 16 small class icon.
#define IDI_CAMLET32 1
#define IDI_CAMLET32_SMALL 108

// String table: window title format, class name, settings section.
#define IDS_TITLE 103
#define IDS_CLASS_NAME 107
#define IDS_SECTION 110

// Menu bar and accelerator table of the main window.
#define IDM_MAIN 109
#define IDA_MAIN 109

// Commands.
#define IDC_ABOUT 104
#define IDC_EXIT 105
#define IDC_DEBUG_CLEAR 32771
#define IDC_TEST_SET 32772
#define IDC_DEBUG_ON 32773
#define IDC_DEBUG_HIDE 32775
#define IDC_LOG_ENABLED 32776

// Dialog templates: the status panel and the About box.
#define IDD_STATUS_PANEL 130
#define IDD_ABOUT 103

// Status panel values.
#define IDC_STATUS_TEXT 2001
#define IDC_TYPE_TEXT 2002
#define IDC_SETTINGS_TEXT 2005
#define IDC_INFO_RX 2006
#define IDC_INFO_TX 2007
#define IDC_SERIAL_RX 2008
#define IDC_SERIAL_TX 2009

// About box.
#define IDC_ABOUT_ICON 2
#define IDC_VERSION_TEXT 1000
#define IDC_BUILD_STAMP 1001

// The debug list box, a child of the main window.
#define IDC_DEBUG_LIST 100
