#pragma once
// Resource ids shared by the .rc script and the windows.
#define IDI_VTLAUNCHER 1
// Pictures drawn for 96 DPI; the one drawn for 192 DPI has the id plus the offset.
#define IDB_DOUBLE_SIZE_OFFSET 100
#define IDB_BANNER_PATCH 101
#define IDB_BANNER_SERVERS 102
#define IDB_BANNER_PATCH_2X 201
#define IDB_BANNER_SERVERS_2X 202
