// A test double of RASAPI32.dll for the tests (never shipped). It simulates a
// phonebook, active connections and scripted results, and appends every call
// it receives, with its arguments and result, to "rascalls.txt" in the
// working folder. Loaded instead of the system's DLL through
// WINEDLLOVERRIDES="rasapi32=n" with this file next to the program.
//
// The scenario is read from "rasdouble.txt" in the working folder at the
// first call (and again by RasDoubleReload), one instruction a line:
//   entry NAME             a phonebook entry
//   conn HANDLE NAME       an active connection
//   enum CODE SIZE         the next RasEnumConnectionsA fails with CODE and
//                          reports SIZE bytes (queued, one per line)
//   dial CODE HANDLE       the next RasDialA fails with CODE, leaving HANDLE
//                          (0: none) behind (queued)
//   params CODE            every RasGetEntryDialParamsA returns CODE (after
//                          filling in a password, as a failing service may)
//   hangup CODE            every RasHangUpA returns CODE
//   entries CODE           every RasEnumEntriesA returns CODE
//   text CODE TEXT         RasGetErrorStringA's text for CODE
//   notify off             RasConnectionNotificationA succeeds but nothing
//                          is ever signalled (a service without notifications)
//   measure                for the measuring program: each signal of the
//                          named event "TeleoraRasDoubleDrop" drops every
//                          connection, as a line that falls; every dial and
//                          hang-up appends "dial|hangup HH:MM:SS.mmm US" to
//                          "rastimes.txt" (local time; US: microseconds since
//                          the last drop not yet followed by a dial, or -1)
// Without instructions it behaves like a service with an empty phonebook.
// RasConnectionNotificationA keeps the one event it is given and signals it
// whenever the simulated connections change (a dial, a hang-up, a drop, a
// reload).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBufferTooSmall = 603;
constexpr DWORD kCannotFindEntry = 623;
constexpr DWORD kInvalidSize = 632;
constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kInvalidParameter = 87;

// The records as the service of the program's era lays them out.
#pragma pack(push, 4)
struct ConnRecord {
    DWORD dwSize;
    HANDLE hrasconn;
    CHAR szEntryName[257];
    CHAR szDeviceType[17];
    CHAR szDeviceName[129];
};
#pragma pack(pop)
struct EntryNameRecord {
    DWORD dwSize;
    CHAR szEntryName[257];
};
struct DialParamsRecord {
    DWORD dwSize;
    CHAR szEntryName[257];
    CHAR szPhoneNumber[129];
    CHAR szCallbackNumber[129];
    CHAR szUserName[257];
    CHAR szPassword[257];
    CHAR szDomain[16];
};
#ifdef _WIN64
static_assert(sizeof(ConnRecord) == 416);
#else
static_assert(sizeof(ConnRecord) == 412);
#endif
static_assert(sizeof(EntryNameRecord) == 264);
static_assert(sizeof(DialParamsRecord) == 1052);

struct Connection {
    uintptr_t handle;
    std::string name;
};

struct ForcedEnum {
    DWORD code;
    DWORD size;
};

struct ForcedDial {
    DWORD code;
    uintptr_t handle;
};

struct State {
    bool loaded = false;
    std::vector<std::string> phonebook;
    std::vector<Connection> connections;
    std::deque<ForcedEnum> enumResults;
    std::deque<ForcedDial> dialResults;
    DWORD paramsResult = 0;
    DWORD hangUpResult = 0;
    DWORD entriesResult = 0;
    std::map<DWORD, std::string> texts;
    uintptr_t nextHandle = 1000;
    bool notify = true;
    bool measure = false;
};

State g_state;
CRITICAL_SECTION g_lock;
HANDLE g_notified = nullptr;  // kept across reloads
HANDLE g_dropper = nullptr;   // the measuring thread, started once
LONGLONG g_droppedAt = -1;    // performance counter at the last drop not yet redialled

void ConnectionsChanged() {
    if (g_notified != nullptr && g_state.notify) SetEvent(g_notified);
}

struct Locked {
    Locked() { EnterCriticalSection(&g_lock); }
    ~Locked() { LeaveCriticalSection(&g_lock); }
};

LONGLONG Now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Appends "WHAT HH:MM:SS.mmm US" to rastimes.txt (measuring scenarios only).
void RecordTime(const char* what, bool endsDrop) {
    if (!g_state.measure) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    long long sinceDrop = -1;
    if (g_droppedAt >= 0) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        sinceDrop = (Now() - g_droppedAt) * 1000000 / frequency.QuadPart;
        if (endsDrop) g_droppedAt = -1;
    }
    FILE* file = fopen("rastimes.txt", "ab");
    if (file == nullptr) return;
    fprintf(file, "%s %02u:%02u:%02u.%03u %lld\r\n", what, now.wHour, now.wMinute, now.wSecond,
            now.wMilliseconds, sinceDrop);
    fclose(file);
}

void Record(const char* format, ...);

DWORD WINAPI DropOnRequest(void*) {
    HANDLE request = CreateEventA(nullptr, FALSE, FALSE, "TeleoraRasDoubleDrop");
    if (request == nullptr) return 1;
    while (WaitForSingleObject(request, INFINITE) == WAIT_OBJECT_0) {
        Locked lock;
        size_t dropped = g_state.connections.size();
        g_state.connections.clear();
        g_droppedAt = Now();
        ConnectionsChanged();
        Record("drop count=%lu", static_cast<unsigned long>(dropped));
    }
    return 0;
}

std::string Rest(const std::string& line, size_t words) {
    size_t pos = 0;
    for (size_t i = 0; i < words; ++i) {
        pos = line.find(' ', pos);
        if (pos == std::string::npos) return "";
        ++pos;
    }
    return line.substr(pos);
}

void Load() {
    g_state = State{};
    g_state.loaded = true;
    FILE* file = fopen("rasdouble.txt", "rb");
    if (file == nullptr) return;
    char buffer[1200];
    while (fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        unsigned long a = 0, b = 0;
        if (line.rfind("entry ", 0) == 0) {
            g_state.phonebook.push_back(Rest(line, 1));
        } else if (sscanf(line.c_str(), "conn %lu", &a) == 1) {
            g_state.connections.push_back(Connection{a, Rest(line, 2)});
        } else if (sscanf(line.c_str(), "enum %lu %lu", &a, &b) == 2) {
            g_state.enumResults.push_back(ForcedEnum{a, b});
        } else if (sscanf(line.c_str(), "dial %lu %lu", &a, &b) == 2) {
            g_state.dialResults.push_back(ForcedDial{a, b});
        } else if (sscanf(line.c_str(), "params %lu", &a) == 1) {
            g_state.paramsResult = a;
        } else if (sscanf(line.c_str(), "hangup %lu", &a) == 1) {
            g_state.hangUpResult = a;
        } else if (sscanf(line.c_str(), "entries %lu", &a) == 1) {
            g_state.entriesResult = a;
        } else if (sscanf(line.c_str(), "text %lu", &a) == 1) {
            g_state.texts[a] = Rest(line, 2);
        } else if (line == "notify off") {
            g_state.notify = false;
        } else if (line == "measure") {
            g_state.measure = true;
        }
    }
    fclose(file);
    if (g_state.measure && g_dropper == nullptr) {
        g_dropper = CreateThread(nullptr, 0, DropOnRequest, nullptr, 0, nullptr);
    }
}

void EnsureLoaded() {
    if (!g_state.loaded) Load();
}

void Record(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > static_cast<int>(sizeof line) - 3) n = sizeof line - 3;
    line[n++] = '\r';
    line[n++] = '\n';
    HANDLE file = CreateFileA("rascalls.txt", FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
}

const char* NullOr(const void* p) {
    return p == nullptr ? "null" : "set";
}

bool InPhonebook(const char* name) {
    for (const std::string& entry : g_state.phonebook) {
        if (entry == name) return true;
    }
    return false;
}

void CopyName(CHAR* field, size_t size, const std::string& name) {
    memset(field, 0, size);
    strncpy(field, name.c_str(), size - 1);
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI RasEnumConnectionsA(void* buffer, DWORD* size, DWORD* count) {
    Locked lock;
    EnsureLoaded();
    auto* records = static_cast<ConnRecord*>(buffer);
    DWORD firstSize = records == nullptr ? 0 : records->dwSize;
    DWORD sizeIn = size == nullptr ? 0 : *size;
    DWORD result = 0;
    DWORD filled = 0;
    DWORD needed = static_cast<DWORD>(g_state.connections.size() * sizeof(ConnRecord));
    if (size == nullptr || count == nullptr) {
        result = kInvalidParameter;
    } else if (!g_state.enumResults.empty()) {
        ForcedEnum forced = g_state.enumResults.front();
        g_state.enumResults.pop_front();
        result = forced.code;
        *size = forced.size;
    } else if (records == nullptr || firstSize != sizeof(ConnRecord)) {
        result = kInvalidSize;
    } else if (sizeIn < needed) {
        *size = needed;
        *count = 0;
        result = kBufferTooSmall;
    } else {
        for (const Connection& c : g_state.connections) {
            ConnRecord& r = records[filled++];
            r.dwSize = sizeof(ConnRecord);
            r.hrasconn = reinterpret_cast<HANDLE>(c.handle);
            CopyName(r.szEntryName, sizeof r.szEntryName, c.name);
            CopyName(r.szDeviceType, sizeof r.szDeviceType, "modem");
            CopyName(r.szDeviceName, sizeof r.szDeviceName, "Test Modem");
        }
        *size = needed;
        *count = filled;
    }
    Record("RasEnumConnectionsA dwSize=%lu cb=%lu -> %lu count=%lu cbOut=%lu", firstSize, sizeIn,
           result, filled, size == nullptr ? 0 : *size);
    return result;
}

__declspec(dllexport) DWORD WINAPI RasHangUpA(HANDLE connection) {
    Locked lock;
    EnsureLoaded();
    uintptr_t handle = reinterpret_cast<uintptr_t>(connection);
    DWORD result = g_state.hangUpResult;
    std::string name = "?";
    if (result == 0) {
        result = kInvalidHandle;
        for (size_t i = 0; i < g_state.connections.size(); ++i) {
            if (g_state.connections[i].handle == handle) {
                name = g_state.connections[i].name;
                g_state.connections.erase(g_state.connections.begin() + static_cast<long>(i));
                result = 0;
                ConnectionsChanged();
                RecordTime("hangup", false);
                break;
            }
        }
    }
    Record("RasHangUpA handle=%lu name=%s -> %lu", static_cast<unsigned long>(handle), name.c_str(),
           result);
    return result;
}

__declspec(dllexport) DWORD WINAPI
    RasGetEntryDialParamsA(const char* phonebook, void* paramsIn, BOOL* password) {
    Locked lock;
    EnsureLoaded();
    auto* params = static_cast<DialParamsRecord*>(paramsIn);
    DWORD size = params == nullptr ? 0 : params->dwSize;
    std::string entry = params == nullptr
                            ? ""
                            : std::string(params->szEntryName, strnlen(params->szEntryName, 257));
    BOOL passwordIn = password == nullptr ? -1 : *password;
    DWORD result = 0;
    if (params == nullptr || password == nullptr) {
        result = kInvalidParameter;
    } else if (size != sizeof(DialParamsRecord)) {
        result = kInvalidSize;
    } else if (g_state.paramsResult != 0) {
        result = g_state.paramsResult;
        CopyName(params->szPassword, sizeof params->szPassword, "segreto");
    } else if (!InPhonebook(entry.c_str())) {
        result = kCannotFindEntry;
    } else {
        CopyName(params->szUserName, sizeof params->szUserName, "utente");
        CopyName(params->szPassword, sizeof params->szPassword, "segreto");
        *password = TRUE;
    }
    Record("RasGetEntryDialParamsA phonebook=%s dwSize=%lu entry=%s password=%d -> %lu",
           NullOr(phonebook), size, entry.c_str(), static_cast<int>(passwordIn), result);
    return result;
}

__declspec(dllexport) DWORD WINAPI
    RasDialA(void* extensions, const char* phonebook, void* paramsIn, DWORD notifierType,
             void* notifier, HANDLE* connection) {
    Locked lock;
    EnsureLoaded();
    auto* params = static_cast<DialParamsRecord*>(paramsIn);
    DWORD size = params == nullptr ? 0 : params->dwSize;
    std::string entry = params == nullptr
                            ? ""
                            : std::string(params->szEntryName, strnlen(params->szEntryName, 257));
    std::string user =
        params == nullptr ? "" : std::string(params->szUserName, strnlen(params->szUserName, 257));
    const char* handleIn =
        connection == nullptr ? "missing" : (*connection == nullptr ? "null" : "set");
    DWORD result = 0;
    uintptr_t handle = 0;
    if (params == nullptr || connection == nullptr) {
        result = kInvalidParameter;
    } else if (size != sizeof(DialParamsRecord)) {
        result = kInvalidSize;
    } else if (!g_state.dialResults.empty()) {
        ForcedDial forced = g_state.dialResults.front();
        g_state.dialResults.pop_front();
        result = forced.code;
        handle = forced.handle;
        // A failed dial that leaves a handle behind keeps a port until it is
        // hung up: it shows as a connection of its entry.
        if (handle != 0) {
            g_state.connections.push_back(Connection{handle, entry});
            ConnectionsChanged();
        }
    } else if (!InPhonebook(entry.c_str())) {
        result = kCannotFindEntry;
    } else {
        RecordTime("dial", true);
        handle = g_state.nextHandle++;
        g_state.connections.push_back(Connection{handle, entry});
        ConnectionsChanged();
    }
    if (connection != nullptr) *connection = reinterpret_cast<HANDLE>(handle);
    Record(
        "RasDialA extensions=%s phonebook=%s dwSize=%lu entry=%s user=%s notifierType=%lu "
        "notifier=%s handleIn=%s -> %lu handle=%lu",
        NullOr(extensions), NullOr(phonebook), size, entry.c_str(), user.c_str(), notifierType,
        NullOr(notifier), handleIn, result, static_cast<unsigned long>(handle));
    return result;
}

__declspec(dllexport) DWORD WINAPI RasEnumEntriesA(const char* reserved, const char* phonebook,
                                                   void* buffer, DWORD* size, DWORD* count) {
    Locked lock;
    EnsureLoaded();
    auto* records = static_cast<EntryNameRecord*>(buffer);
    DWORD firstSize = records == nullptr ? 0 : records->dwSize;
    DWORD sizeIn = size == nullptr ? 0 : *size;
    DWORD needed = static_cast<DWORD>(g_state.phonebook.size() * sizeof(EntryNameRecord));
    DWORD result = 0;
    DWORD filled = 0;
    if (size == nullptr || count == nullptr) {
        result = kInvalidParameter;
    } else if (g_state.entriesResult != 0) {
        result = g_state.entriesResult;
    } else if (records == nullptr || firstSize != sizeof(EntryNameRecord)) {
        result = kInvalidSize;
    } else if (sizeIn < needed) {
        *size = needed;
        *count = 0;
        result = kBufferTooSmall;
    } else {
        for (const std::string& name : g_state.phonebook) {
            EntryNameRecord& r = records[filled++];
            r.dwSize = sizeof(EntryNameRecord);
            CopyName(r.szEntryName, sizeof r.szEntryName, name);
        }
        *size = needed;
        *count = filled;
    }
    Record("RasEnumEntriesA reserved=%s phonebook=%s dwSize=%lu cb=%lu -> %lu count=%lu",
           NullOr(reserved), NullOr(phonebook), firstSize, sizeIn, result, filled);
    return result;
}

__declspec(dllexport) DWORD WINAPI RasGetErrorStringA(UINT code, char* buffer, DWORD size) {
    Locked lock;
    EnsureLoaded();
    DWORD result = kInvalidParameter;
    auto it = g_state.texts.find(code);
    if (buffer != nullptr && size > 0 && it != g_state.texts.end()) {
        snprintf(buffer, size, "%s", it->second.c_str());
        result = 0;
    }
    Record("RasGetErrorStringA code=%u size=%lu -> %lu", code, size, result);
    return result;
}

// Reads the scenario again and forgets every connection (tests that call the
// binding directly start each case afresh).
__declspec(dllexport) void WINAPI RasDoubleReload() {
    Locked lock;
    size_t before = g_state.connections.size();
    Load();
    if (before != 0 || !g_state.connections.empty()) ConnectionsChanged();
}

// Only the whole-service form (every connection) with an event is supported.
__declspec(dllexport) DWORD WINAPI
    RasConnectionNotificationA(HANDLE connection, HANDLE event, DWORD flags) {
    Locked lock;
    EnsureLoaded();
    DWORD result = 0;
    if (connection != INVALID_HANDLE_VALUE || event == nullptr) {
        result = kInvalidParameter;
    } else {
        g_notified = event;
    }
    Record("RasConnectionNotificationA connection=%s flags=%lu -> %lu",
           connection == INVALID_HANDLE_VALUE ? "all" : "one", flags, result);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&g_lock);
    return TRUE;
}

}  // extern "C"
