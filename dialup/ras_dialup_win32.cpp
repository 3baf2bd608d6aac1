#include "dialup/ras_dialup_win32.h"

#include <raserror.h>

#include <cstring>

#include "common/text.h"
#include "supervisor/wake_event_win32.h"

namespace {

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
    DWORD size = *sizeInOut;
    DWORD filled = 0;
    DWORD result = RasEnumConnectionsA(static_cast<RASCONNA*>(buffer), &size, &filled);
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
    return static_cast<int32_t>(RasHangUpA(reinterpret_cast<HRASCONN>(handle)));
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
    params.dwSize = kRasDialParamsSize;
    CopyBounded(params.szEntryName, entry, sizeof params.szEntryName);
    BOOL password = TRUE;
    DWORD result = RasGetEntryDialParamsA(nullptr, &params, &password);
    if (result != 0) WipeDialParams(Self(ctx));
    return static_cast<int32_t>(result);
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    HRASCONN connection = nullptr;
    DWORD result = RasDialA(nullptr, nullptr, &Self(ctx)->dialParams, 0, nullptr, &connection);
    WipeDialParams(Self(ctx));
    *handle = reinterpret_cast<DialUpHandle>(connection);
    return static_cast<int32_t>(result);
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    RasEntryNameRecord* records = Self(ctx)->entries;
    records[0].dwSize = kRasEntryNameSize;
    DWORD size = sizeof Self(ctx)->entries;
    DWORD count = 0;
    DWORD result =
        RasEnumEntriesA(nullptr, nullptr, reinterpret_cast<RASENTRYNAMEA*>(records), &size, &count);
    out->count = 0;
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
    DWORD result = RasGetErrorStringA(static_cast<UINT>(code), buffer, size);
    buffer[size - 1] = '\0';
    return static_cast<int32_t>(result);
}

// Every dial-up connection's coming up and going down signals the event.
int32_t WatchConnections(void*, WakeEvent* wake) {
    return static_cast<int32_t>(
        RasConnectionNotificationA(static_cast<HRASCONN>(INVALID_HANDLE_VALUE),
                                   WakeEventHandle(wake), RASCN_Connection | RASCN_Disconnection));
}

}  // namespace

void InitRasDialUpService(RasDialUp* context, DialUpService* service) {
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
