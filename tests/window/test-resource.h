// Resource ids of the window tests' own dialogs, strings and menu.
#pragma once

#define IDD_PLAIN 100
#define IDD_CHILD 101
#define IDD_CONTROLS 102

#define IDC_EDIT 1001
#define IDC_EDIT2 1002
#define IDC_BOX 1003
#define IDC_CHILD_EDIT 1010
#define IDC_TRACKBAR 1020
#define IDC_LINK 1021
#define IDC_COMBOEX 1022
#define IDC_PROGRESS 1023
#define IDC_STATUS 1024

// 200 is in the table, 201 (same block of sixteen) and 4000 (a block that does not exist) are not.
#define IDS_PRESENT 200
#define IDS_MISSING_IN_BLOCK 201
#define IDS_MISSING_BLOCK 4000

#define IDM_TEST 300
#define IDM_ITEM 301
