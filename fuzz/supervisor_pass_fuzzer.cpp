// Supervisor passes against the fake dial-up service, whose results,
// reported sizes, counts, entry names and error texts come from the input.
// The fake checks what a correct supervisor must never do (read a record the
// last enumeration did not fill, hand over a buffer smaller than one record
// or a size larger than the buffer, give the dial-parameter call a name
// longer than the service's name field, dial with a handle set); this target
// adds the buffer's bounds after every pass.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "supervisor/supervisor.h"
#include "support/fake_dialup.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

constexpr uint32_t kRecord = sizeof(FakeConnectionRecord);

// A result from the input: success or any code, whose text (when it has one)
// may fill the log's buffer to its end without a terminator.
int32_t Result(FuzzedDataProvider* in, FakeDialUp* fake) {
    if (in->ConsumeBool()) return 0;
    int32_t code = in->ConsumeIntegral<int32_t>();
    if (in->ConsumeBool())
        fake->errorTexts[code] = in->ConsumeRandomLengthString(kErrorTextSize + 8);
    return code;
}

// What the service will answer in the next pass: two enumerations (the second
// follows a resize) with the sizes a failing one reports (the real need, a
// small one, an absurd one the supervisor must refuse, or none at all; sizes
// up to 64 records keep a run fast), the count it claims, and the results of
// the hang-ups, the dial parameters and the dial.
void ScriptPass(FuzzedDataProvider* in, FakeDialUp* fake) {
    fake->enumResults.clear();
    fake->enumReportedSizes.clear();
    fake->enumReportedCounts.clear();
    for (int i = 0; i < 2; ++i) {
        fake->enumResults.push_back(Result(in, fake));
        switch (in->ConsumeIntegralInRange(0, 3)) {
            case 0:
                fake->enumReportedSizes.push_back(
                    static_cast<uint32_t>(fake->active.size() * kRecord));
                break;
            case 1:
                fake->enumReportedSizes.push_back(
                    in->ConsumeIntegralInRange<uint32_t>(0, 64 * kRecord));
                break;
            case 2:
                fake->enumReportedSizes.push_back(in->ConsumeIntegralInRange<uint32_t>(
                    kMaxConnectionBufferBytes + 1, UINT32_MAX));
                break;
            default:
                fake->enumReportedSizes.push_back(std::nullopt);
                break;
        }
        if (!in->ConsumeBool()) fake->enumReportedCounts.push_back(in->ConsumeIntegral<uint32_t>());
    }
    fake->hangUpResult = Result(in, fake);
    fake->dialParamsResult = Result(in, fake);
    fake->dialResult = Result(in, fake);
    fake->failedDialHandle = in->ConsumeBool() ? 0 : 77;
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
    FakeDialUp fake;
    fake.record = false;
    fake.service.maxEntryNameLength =
        in.ConsumeIntegralInRange<uint32_t>(0, kEntryNameFieldSize - 1);
    const DialUpService& service = fake.service;

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
                if (in.ConsumeBool()) fake.phonebook.push_back(snapshot.settings.szRasEntry);
                break;
            }
            case 1: {
                int n = in.ConsumeIntegralInRange(0, 40);
                fake.active.clear();
                fake.phonebook.clear();
                for (int i = 0; i < n; ++i) {
                    std::string name = in.ConsumeBool() ? std::string(snapshot.settings.szRasEntry)
                                                        : in.ConsumeRandomLengthString(300);
                    fake.active.push_back(FakeConnection{static_cast<DialUpHandle>(i + 1), name});
                    if (in.ConsumeBool()) fake.phonebook.push_back(name);
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
        ScriptPass(&in, &fake);
        RunSupervisorPass(&buffer, service, snapshot, Clock{&FuzzNow, &in}, log);
        if (buffer.bytes != nullptr) {
            Require(buffer.capacity >= kRecord, "the buffer never shrinks below one record");
            Require(buffer.capacity <= kMaxConnectionBufferBytes, "the buffer stays bounded");
            Require(buffer.count <= buffer.capacity / kRecord, "the count fits the buffer");
        }
    }
    ReleaseConnectionBuffer(&buffer);
    return 0;
}
