// Supervisor passes against a service whose results, reported sizes, counts,
// entry names and error texts come from the input. The service checks what a
// correct supervisor must never do: read a record the last enumeration did not
// fill, hand over a buffer smaller than one record (or a size larger than the
// buffer: every byte the size claims is touched, so AddressSanitizer sees
// it), or give the dial-parameter call a name longer than the service's name
// field (it is copied into a field of exactly that size, followed by guard
// bytes that must stay intact).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "supervisor/supervisor.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

// The service's record: a size field first, as on Windows.
struct Record {
    uint32_t dwSize;
    DialUpHandle handle;
    char szEntryName[kEntryNameFieldSize];
};

constexpr size_t kGuard = 16;

struct FuzzService {
    FuzzedDataProvider* in = nullptr;
    std::vector<std::string> connections;  // what the service has to list
    const void* filledBuffer = nullptr;    // the buffer the last enumeration filled
    uint32_t filled = 0;                   // records it filled there
    uint32_t maxName = 0;
    // The dial parameters' name field, with guard bytes behind it.
    unsigned char params[kEntryNameFieldSize + kGuard];
};

FuzzService* Self(void* ctx) {
    return static_cast<FuzzService*>(ctx);
}

void Prepare(void*, void* buffer) {
    static_cast<Record*>(buffer)->dwSize = sizeof(Record);
}

int32_t EnumConnections(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    FuzzService* s = Self(ctx);
    s->filledBuffer = nullptr;
    s->filled = 0;
    Require(buffer != nullptr, "a buffer to enumerate into");
    Require(*sizeInOut >= sizeof(Record), "the buffer holds at least one record");
    Require(static_cast<Record*>(buffer)->dwSize == sizeof(Record), "the first record is prepared");
    // The whole claimed size is ours to write.
    volatile unsigned char* bytes = static_cast<unsigned char*>(buffer);
    bytes[*sizeInOut - 1] = bytes[*sizeInOut - 1];

    FuzzedDataProvider* in = s->in;
    int32_t result = in->ConsumeBool() ? 0 : in->ConsumeIntegral<int32_t>();
    if (result != 0) {
        // A failing service reports some size: the real need, a small one, an
        // absurd one the supervisor must refuse, or none at all. (Sizes up to
        // 64 records keep a run fast; the supervisor treats every size alike.)
        constexpr uint32_t kSmall = 64 * sizeof(Record);
        switch (in->ConsumeIntegralInRange(0, 3)) {
            case 0:
                *sizeInOut = static_cast<uint32_t>(s->connections.size() * sizeof(Record));
                break;
            case 1:
                *sizeInOut = in->ConsumeIntegralInRange<uint32_t>(0, kSmall);
                break;
            case 2:
                *sizeInOut =
                    in->ConsumeIntegralInRange<uint32_t>(kMaxConnectionBufferBytes + 1, UINT32_MAX);
                break;
            default:
                break;  // left as it was
        }
        return result;
    }
    // The count is the truth, or anything else: the service fills as many
    // records as it claims while they fit the size it was given, and a claim
    // beyond that is a lie the supervisor must not believe.
    uint32_t room = *sizeInOut / sizeof(Record);
    uint32_t truth = static_cast<uint32_t>(s->connections.size());
    *count = in->ConsumeBool() ? truth : in->ConsumeIntegral<uint32_t>();
    uint32_t n = *count < room ? *count : room;
    Record* records = static_cast<Record*>(buffer);
    for (uint32_t i = 0; i < n; ++i) {
        records[i].dwSize = sizeof(Record);
        records[i].handle = 1000 + i;
        std::string name = i < truth ? s->connections[i] : std::string(i % 300, 'x');
        // A name that fills the whole field has no terminator.
        memset(records[i].szEntryName, 0, sizeof records[i].szEntryName);
        memcpy(records[i].szEntryName, name.data(),
               name.size() < kEntryNameFieldSize ? name.size() : kEntryNameFieldSize);
    }
    s->filledBuffer = buffer;
    s->filled = n;
    return 0;
}

void RequireFilled(FuzzService* s, const void* buffer, uint32_t index) {
    Require(buffer == s->filledBuffer && index < s->filled,
            "only records the last enumeration filled are read");
}

DialUpHandle ConnectionHandle(void* ctx, const void* buffer, uint32_t index) {
    RequireFilled(Self(ctx), buffer, index);
    return static_cast<const Record*>(buffer)[index].handle;
}

void ConnectionEntryName(void* ctx, const void* buffer, uint32_t index, char* out, size_t outSize) {
    RequireFilled(Self(ctx), buffer, index);
    Require(outSize > 0, "room for a name");
    const char* name = static_cast<const Record*>(buffer)[index].szEntryName;
    size_t n = strnlen(name, kEntryNameFieldSize);
    if (n >= outSize) n = outSize - 1;
    memcpy(out, name, n);
    out[n] = '\0';
}

int32_t HangUp(void* ctx, DialUpHandle) {
    FuzzService* s = Self(ctx);
    return s->in->ConsumeBool() ? 0 : s->in->ConsumeIntegral<int32_t>();
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    FuzzService* s = Self(ctx);
    // The binding copies the name into its field of maxName + 1 bytes.
    size_t length = strlen(entry);
    Require(length <= s->maxName, "the name fits the service's name field");
    memset(s->params, 0xee, sizeof s->params);
    memcpy(s->params, entry, length + 1);
    for (size_t i = s->maxName + 1; i < sizeof s->params; ++i) {
        Require(s->params[i] == 0xee, "nothing written past the name field");
    }
    return s->in->ConsumeBool() ? 0 : s->in->ConsumeIntegral<int32_t>();
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    FuzzService* s = Self(ctx);
    Require(*handle == 0, "a dial starts with no handle");
    int32_t result = s->in->ConsumeBool() ? 0 : s->in->ConsumeIntegral<int32_t>();
    *handle = s->in->ConsumeBool() ? 0 : 77;
    return result;
}

int32_t GetErrorString(void* ctx, int32_t, char* buffer, uint32_t size) {
    FuzzService* s = Self(ctx);
    if (s->in->ConsumeBool()) return 1;
    // A text that may fill the buffer to its end without a terminator.
    std::string text = s->in->ConsumeRandomLengthString(size + 8);
    memcpy(buffer, text.data(), text.size() < size ? text.size() : size);
    if (text.size() < size) buffer[text.size()] = '\0';
    return 0;
}

LocalTime FuzzNow(void* ctx) {
    FuzzedDataProvider* in = static_cast<FuzzedDataProvider*>(ctx);
    LocalTime t{2026, 12, 6, 0, 5, 1, 2, 0};
    t.dayOfWeek = in->ConsumeIntegralInRange(-1, 7);
    t.hour = in->ConsumeIntegralInRange(0, 23);
    t.minute = in->ConsumeIntegralInRange(0, 59);
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzService fake;
    fake.in = &in;
    fake.maxName = in.ConsumeIntegralInRange<uint32_t>(0, kEntryNameFieldSize - 1);

    DialUpService service{};
    service.ctx = &fake;
    service.connectionRecordSize = sizeof(Record);
    service.maxEntryNameLength = fake.maxName;
    service.prepareConnectionBuffer = &Prepare;
    service.enumConnections = &EnumConnections;
    service.connectionHandle = &ConnectionHandle;
    service.connectionEntryName = &ConnectionEntryName;
    service.hangUp = &HangUp;
    service.getEntryDialParams = &GetEntryDialParams;
    service.dial = &Dial;
    service.getErrorString = &GetErrorString;

    // Lines go to /dev/null: formatted and written, never kept.
    EventLog log{"/dev/null", Clock{&FuzzNow, &in}, ErrorTextOf(&service)};
    ConnectionBuffer buffer{};
    if (in.ConsumeBool()) Require(InitConnectionBuffer(&buffer, service), "one record allocated");

    SettingsSnapshot snapshot;
    SetDefaultSettings(&snapshot.settings);
    while (in.remaining_bytes() > 0) {
        // Between passes the user and the world change things.
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                std::string name = in.ConsumeRandomLengthString(kRasEntrySize + 8);
                snprintf(snapshot.settings.szRasEntry, kRasEntrySize, "%s", name.c_str());
                break;
            }
            case 1: {
                int n = in.ConsumeIntegralInRange(0, 40);
                fake.connections.clear();
                for (int i = 0; i < n; ++i) {
                    fake.connections.push_back(in.ConsumeBool()
                                                   ? snapshot.settings.szRasEntry
                                                   : in.ConsumeRandomLengthString(300));
                }
                break;
            }
            case 2: {
                RuleTable& t = snapshot.settings.ruleTable;
                t.nUserEntries = in.ConsumeIntegralInRange(0, kMaxRules);
                for (Rule& rule : t.rules) {
                    for (DayWindow& w : rule.days) {
                        w = DayWindow{
                            in.ConsumeIntegral<int32_t>() % 30, in.ConsumeIntegral<int32_t>() % 70,
                            in.ConsumeIntegral<int32_t>() % 30, in.ConsumeIntegral<int32_t>() % 70};
                    }
                }
                break;
            }
            default:
                snapshot.settings.bDropAny = in.ConsumeIntegralInRange(0, 1);
                break;
        }
        snapshot.mode = in.ConsumeIntegralInRange<Mode>(-2, ModeRuleBase + kMaxRules + 1);
        RunSupervisorPass(&buffer, service, snapshot, Clock{&FuzzNow, &in}, log);
        if (buffer.bytes != nullptr) {
            Require(buffer.capacity >= sizeof(Record), "the buffer never shrinks below one record");
            Require(buffer.capacity <= kMaxConnectionBufferBytes, "the buffer stays bounded");
            Require(buffer.count <= buffer.capacity / sizeof(Record), "the count fits the buffer");
        }
    }
    ReleaseConnectionBuffer(&buffer);
    return 0;
}
