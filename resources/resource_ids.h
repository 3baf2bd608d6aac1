// Resource and control ids shared by the resource script and the Windows
// code. The command and control ids are the same numbers as the portable
// menu's and dialog's (the Windows code checks that at compile time).
#pragma once

#define IDI_TELEORA 102
#define IDR_TRAYMENU 103
#define IDD_CONFIG 104

#define IDM_CONNECTED 40001
#define IDM_DISCONNECTED 40003
#define IDM_CONFIGURE 40004
#define IDM_EXIT 40005
#define IDM_DISABLED 40006
#define IDM_SHOWLOG 40008

#define IDC_DELAY 1000
#define IDC_ENTRY 1001
#define IDC_DROPANY 1002
#define IDC_RULELIST 1005
#define IDC_START_SUNDAY 1006
#define IDC_STOP_SUNDAY 1013
#define IDC_ADD 1020
#define IDC_REMOVE 1021
#define IDC_NAME 1022
