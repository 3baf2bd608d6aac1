// The dial-up service on Windows: the Remote Access Service client
// (RASAPI32.dll, ANSI functions, default phonebook), loaded at run time from
// the system folder.
//
// The records handed to the service are our own, laid out as the structure
// version the program is built against (the SDK headers declare newer, larger
// ones): RASCONNA 412 bytes on 32-bit Windows (416 on 64-bit), RASENTRYNAMEA
// 264 and RASDIALPARAMSA 1052 on both. The service checks them through their
// dwSize.
#pragma once

#include <windows.h>
// The dial-up declarations build on those of windows.h.
#include <ras.h>

#include <cstddef>

#include "dialup/dialup_service.h"

#pragma pack(push, 4)
struct RasConnRecord {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
};
#pragma pack(pop)

struct RasEntryNameRecord {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
};

#ifdef _WIN64
constexpr DWORD kRasConnSize = 416;
#else
constexpr DWORD kRasConnSize = 412;
#endif
constexpr DWORD kRasEntryNameSize = 264;
// The dial parameters end before dwSubEntry in the version we are built for.
constexpr DWORD kRasDialParamsSize = offsetof(RASDIALPARAMSA, dwSubEntry);

static_assert(sizeof(RasConnRecord) == kRasConnSize);
static_assert(sizeof(RasEntryNameRecord) == kRasEntryNameSize);
static_assert(kRasDialParamsSize == 1052);
static_assert(offsetof(RasConnRecord, szEntryName) == sizeof(DWORD) + sizeof(HRASCONN));

// What the binding keeps between calls: the dial parameters read by
// getEntryDialParams for the dial that follows (both on the supervisor
// thread; wiped after the dial and after a failed read, so the password does
// not stay behind), and the phonebook enumeration's records (user-interface thread).
struct RasDialUp {
    RASDIALPARAMSA dialParams;
    RasEntryNameRecord entries[kMaxPhonebookEntries];
};

// Fills service with the RAS operations working on context. The first call
// loads RASAPI32.DLL from the system folder, and only from there, and
// resolves its functions for the life of the process: it must come before
// any other thread uses a service. An operation whose function the system
// lacks returns the system's error code (ERROR_PROC_NOT_FOUND, or why the DLL
// could not be loaded).
void InitRasDialUpService(RasDialUp* context, DialUpService* service);
