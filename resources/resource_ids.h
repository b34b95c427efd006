// Resource and control ids shared by the resource script and the code.
#pragma once

#define IDI_FISH 101
#define IDB_PICTURE 102

#define IDC_NAME 1002
#define IDC_PICTURE 1003
#define IDC_LAUNCH 1005
#define IDC_UPDATE 1006
