#pragma once
// Resource ids shared by the .rc script and the windows.
#define IDI_VTLAUNCHER 1
#define IDB_BANNER_PATCH 101
#define IDB_BANNER_SERVERS 102
