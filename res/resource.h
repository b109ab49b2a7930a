// Resource numbers of KRT460.exe; shared by the resource script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDD_DISPLAY 129
#define IDD_SETTINGS 131
#define IDB_LAMP_IDLE 132
#define IDB_LAMP_RECEIVING 133
#define IDB_LAMP_RECEIVED 134
#define IDB_SAMPLE_SCREEN 136
#define IDD_BITMAPS 138

#define IDC_RADIO_COM1 1002
#define IDC_RADIO_COM2 1003
#define IDC_CHECK_BORDER 1004
#define IDC_CHECK_320 1005
#define IDC_SETTINGS 1006
#define IDC_RECEIVE 1007
#define IDC_SHOW 1008
#define IDC_SAVE 1009
#define IDC_FILE_LIST 1010
#define IDC_FILE_NAME 1011
#define IDC_RADIO_OTHER 1012
#define IDC_PORT_NAME 1013
#define IDC_CHECK_EVERY_PRINT 1014

// System-menu commands; below 0xF000, where the system's own commands start. IDM_COPY is also
// the command of Ctrl+C.
#define IDM_ABOUTBOX 0x0010
#define IDM_COPY 0x0020
#define IDS_COPY 102
#define IDS_CLIPBOARD_BUSY 103
#define IDS_INCOMPLETE 110
#define IDS_RESTART_RECEIVING 111
#define IDS_LINE_ERRORS 112
#define IDS_PORT_GONE 113
#define IDS_SERIES_PARTIAL 114

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
