#include "dialup/ras_dialup_win32.h"

#include <raserror.h>

#include <cstring>

#include "common/text.h"
#include "common/wake_event_win32.h"

namespace {

// The service's functions, resolved once from the system folder's
// RASAPI32.DLL. A function that could not be resolved is null, and its
// operation returns the system's error code instead.
struct RasFunctions {
    bool resolved;
    DWORD loadError;  // why the DLL could not be loaded; 0 when it was
    decltype(&RasEnumConnectionsA) enumConnections;
    decltype(&RasHangUpA) hangUp;
    decltype(&RasGetEntryDialParamsA) getEntryDialParams;
    decltype(&RasDialA) dial;
    decltype(&RasEnumEntriesA) enumEntries;
    decltype(&RasGetErrorStringA) getErrorString;
    decltype(&RasConnectionNotificationA) connectionNotification;
};

RasFunctions g_ras;

// RASAPI32.DLL is not one of the DLLs Windows always takes from the system
// folder: loaded by name the usual way, a copy lying beside the program (in
// Downloads, say) would run instead. Systems that do not know the search
// flag get the full path of the system folder's copy.
HMODULE LoadSystemRasDll() {
    HMODULE module = LoadLibraryExA("rasapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    char path[MAX_PATH + 16];
    UINT folder = GetSystemDirectoryA(path, MAX_PATH);
    if (folder == 0 || folder >= MAX_PATH) return nullptr;
    CopyBounded(path + folder, "\\rasapi32.dll", sizeof path - folder);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* out) {
    *out = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void ResolveRasFunctions() {
    if (g_ras.resolved) return;
    g_ras.resolved = true;
    HMODULE module = LoadSystemRasDll();
    if (module == nullptr) {
        g_ras.loadError = GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
        return;
    }
    Resolve(module, "RasEnumConnectionsA", &g_ras.enumConnections);
    Resolve(module, "RasHangUpA", &g_ras.hangUp);
    Resolve(module, "RasGetEntryDialParamsA", &g_ras.getEntryDialParams);
    Resolve(module, "RasDialA", &g_ras.dial);
    Resolve(module, "RasEnumEntriesA", &g_ras.enumEntries);
    Resolve(module, "RasGetErrorStringA", &g_ras.getErrorString);
    Resolve(module, "RasConnectionNotificationA", &g_ras.connectionNotification);
}

// The result of an operation whose function is missing.
int32_t Missing() {
    return static_cast<int32_t>(g_ras.loadError != 0 ? g_ras.loadError : ERROR_PROC_NOT_FOUND);
}

RasDialUp* Self(void* ctx) {
    return static_cast<RasDialUp*>(ctx);
}

const RasConnRecord* Records(const void* buffer) {
    return static_cast<const RasConnRecord*>(buffer);
}

void PrepareConnectionBuffer(void*, void* buffer) {
    static_cast<RasConnRecord*>(buffer)->dwSize = kRasConnSize;
}

int32_t EnumConnections(void*, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    *count = 0;
    if (g_ras.enumConnections == nullptr) return Missing();
    DWORD size = *sizeInOut;
    DWORD filled = 0;
    DWORD result = g_ras.enumConnections(static_cast<RASCONNA*>(buffer), &size, &filled);
    *sizeInOut = size;
    *count = result == 0 ? filled : 0;
    return static_cast<int32_t>(result);
}

DialUpHandle ConnectionHandle(void*, const void* buffer, uint32_t index) {
    return reinterpret_cast<DialUpHandle>(Records(buffer)[index].hrasconn);
}

// Copies a name field of fieldSize bytes; a field the service left without a
// terminator ends at the field's end.
void CopyNameField(const CHAR* field, size_t fieldSize, char* out, size_t outSize) {
    if (outSize == 0) return;
    size_t n = BoundedLength(field, fieldSize);
    if (n > outSize - 1) n = outSize - 1;
    memcpy(out, field, n);
    out[n] = '\0';
}

void ConnectionEntryName(void*, const void* buffer, uint32_t index, char* out, size_t outSize) {
    const RasConnRecord& record = Records(buffer)[index];
    CopyNameField(record.szEntryName, sizeof record.szEntryName, out, outSize);
}

int32_t HangUp(void*, DialUpHandle handle) {
    if (g_ras.hangUp == nullptr) return Missing();
    return static_cast<int32_t>(g_ras.hangUp(reinterpret_cast<HRASCONN>(handle)));
}

// The password must not linger in memory: the record is wiped once the dial
// has used it, and whenever reading it fails.
void WipeDialParams(RasDialUp* self) {
    SecureZeroMemory(&self->dialParams, sizeof self->dialParams);
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    RASDIALPARAMSA& params = Self(ctx)->dialParams;
    memset(&params, 0, sizeof params);
    // A longer name fits no szEntryName and names no phonebook entry: the
    // service is not asked, and the dial is skipped.
    if (BoundedLength(entry, RAS_MaxEntryName + 1) > RAS_MaxEntryName) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    if (g_ras.getEntryDialParams == nullptr) return Missing();
    params.dwSize = kRasDialParamsSize;
    CopyBounded(params.szEntryName, entry, sizeof params.szEntryName);
    BOOL password = TRUE;
    DWORD result = g_ras.getEntryDialParams(nullptr, &params, &password);
    if (result != 0) WipeDialParams(Self(ctx));
    return static_cast<int32_t>(result);
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    HRASCONN connection = nullptr;
    if (g_ras.dial == nullptr) {
        WipeDialParams(Self(ctx));
        return Missing();
    }
    DWORD result = g_ras.dial(nullptr, nullptr, &Self(ctx)->dialParams, 0, nullptr, &connection);
    WipeDialParams(Self(ctx));
    *handle = reinterpret_cast<DialUpHandle>(connection);
    return static_cast<int32_t>(result);
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    out->count = 0;
    if (g_ras.enumEntries == nullptr) return Missing();
    RasEntryNameRecord* records = Self(ctx)->entries;
    records[0].dwSize = kRasEntryNameSize;
    DWORD size = sizeof Self(ctx)->entries;
    DWORD count = 0;
    DWORD result = g_ras.enumEntries(nullptr, nullptr, reinterpret_cast<RASENTRYNAMEA*>(records),
                                     &size, &count);
    if (result != 0) return static_cast<int32_t>(result);
    if (count > static_cast<DWORD>(kMaxPhonebookEntries)) count = kMaxPhonebookEntries;
    for (DWORD i = 0; i < count; ++i) {
        CopyNameField(records[i].szEntryName, sizeof records[i].szEntryName, out->names[i],
                      sizeof out->names[i]);
    }
    out->count = static_cast<int>(count);
    return 0;
}

int32_t GetErrorString(void*, int32_t code, char* buffer, uint32_t size) {
    if (size == 0) return ERROR_INVALID_PARAMETER;
    buffer[0] = '\0';
    if (g_ras.getErrorString == nullptr) return Missing();
    DWORD result = g_ras.getErrorString(static_cast<UINT>(code), buffer, size);
    buffer[size - 1] = '\0';
    return static_cast<int32_t>(result);
}

// Every dial-up connection's coming up and going down signals the event.
int32_t WatchConnections(void*, WakeEvent* wake) {
    if (g_ras.connectionNotification == nullptr) return Missing();
    return static_cast<int32_t>(g_ras.connectionNotification(
        static_cast<HRASCONN>(INVALID_HANDLE_VALUE), WakeEventHandle(wake),
        RASCN_Connection | RASCN_Disconnection));
}

}  // namespace

void InitRasDialUpService(RasDialUp* context, DialUpService* service) {
    ResolveRasFunctions();
    service->ctx = context;
    service->connectionRecordSize = kRasConnSize;
    service->maxEntryNameLength = RAS_MaxEntryName;
    service->prepareConnectionBuffer = &PrepareConnectionBuffer;
    service->enumConnections = &EnumConnections;
    service->connectionHandle = &ConnectionHandle;
    service->connectionEntryName = &ConnectionEntryName;
    service->hangUp = &HangUp;
    service->getEntryDialParams = &GetEntryDialParams;
    service->dial = &Dial;
    service->enumEntries = &EnumEntries;
    service->getErrorString = &GetErrorString;
    service->watchConnections = &WatchConnections;
}
