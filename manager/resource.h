// Resource ids of VelkorFIDO2_GUI.exe.
#pragma once

#define IDD_ABOUTBOX            100
#define IDS_ABOUTBOX            101
#define IDD_MANAGER_DIALOG      102
#define IDD_PIN_DIALOG          103
#define IDR_MAINFRAME           128
#define IDC_ENABLE_PROVIDER     1000
#define IDC_ENABLE_USER         1001
#define IDC_ASSOCIATE           1002
#define IDC_DISSOCIATE          1003
#define IDC_PIN_QUESTION        1004
#define IDC_PIN_EDIT            1005

// System-menu command of the About box; must stay below 0xF000 (the system commands).
#define IDM_ABOUTBOX            0x0010

#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif
