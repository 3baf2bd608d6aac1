// The NetworkManager binding's plain tables: the result codes with their texts
// and D-Bus error names, and which connection kinds are dial-up ones.
#include "dialup/networkmanager_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dialup/dialup_service.h"
#include "dialup/networkmanager_bus_linux.h"

namespace {

std::string Text(int32_t code) {
    char buffer[kErrorTextSize];
    return NmErrorText(code, buffer, sizeof buffer) == 0 ? buffer : "(none)";
}

TEST(NmCodeTable, EveryCodeHasADistinctText) {
    std::vector<int32_t> codes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (int32_t c = 100; c <= 114; ++c) codes.push_back(c);
    for (int32_t c = 200; c <= 215; ++c) codes.push_back(c);
    for (int32_t c = 300; c <= 367; ++c) codes.push_back(c);
    std::set<std::string> seen;
    for (int32_t code : codes) {
        const std::string text = Text(code);
        EXPECT_NE(text, "(none)") << code;
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_TRUE(seen.insert(text).second) << code;
    }
}

// Each row reads back: its code gives its text and each of its error names
// gives its code.
TEST(NmCodeTable, RowsReadBack) {
    for (const NmCodeEntry& row : NmCodeTable()) {
        EXPECT_EQ(Text(row.code), row.text);
        for (const char* name : row.dbusErrors) {
            if (name != nullptr) {
                EXPECT_EQ(NmCodeForDbusError(name), row.code) << name;
            }
        }
    }
}

TEST(NmCodeTable, ReasonsBeyondTheTableStillRead) {
    EXPECT_EQ(Text(199), "The connection failed (NetworkManager reason 99).");
    EXPECT_EQ(Text(499), "The device failed (NetworkManager device reason 199).");
}

TEST(NmCodeTable, CodesOutsideTheTableHaveNoText) {
    for (int32_t code : {0, -1, 12, 99, 216, 299, 500, 603})
        EXPECT_EQ(Text(code), "(none)") << code;
}

TEST(NmCodeTable, TextIsCutToTheBuffer) {
    char buffer[8];
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(NmErrorText(kNmNotRunning, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "Network");
}

TEST(NmCodeTable, DbusErrorNames) {
    const std::pair<const char*, int32_t> cases[] = {
        {"org.freedesktop.DBus.Error.ServiceUnknown", kNmNotRunning},
        {"org.freedesktop.DBus.Error.NoReply", kNmNoAnswer},
        {"org.freedesktop.DBus.Error.Disconnected", kNmNoBus},
        {"org.freedesktop.NetworkManager.ConnectionNotActive", 206},
        {"org.freedesktop.DBus.Error.UnknownObject", 212},
        {"org.freedesktop.NetworkManager.Whatever", 200},
    };
    for (auto [name, code] : cases) EXPECT_EQ(NmCodeForDbusError(name), code) << name;
}

TEST(NmDialUpKinds, ByConnectionTypeAndBluetoothType) {
    for (const char* kind : {"vpn", "wireguard", "pppoe", "gsm", "cdma", "adsl"}) {
        EXPECT_TRUE(IsDialUpConnectionType(kind, "")) << kind;
    }
    EXPECT_TRUE(IsDialUpConnectionType("bluetooth", "dun"));
    EXPECT_TRUE(IsDialUpConnectionType("bluetooth", nullptr));  // not known yet
    for (const char* kind : {"802-3-ethernet", "802-11-wireless", "loopback", "bridge", "bond",
                             "vlan", "tun", "", "VPN", "bluetooth"}) {
        EXPECT_FALSE(IsDialUpConnectionType(kind, "")) << kind;
    }
    for (const char* bluetoothType : {"panu", "nap", "DUN", ""}) {
        EXPECT_FALSE(IsDialUpConnectionType("bluetooth", bluetoothType)) << bluetoothType;
    }
    EXPECT_FALSE(IsDialUpConnectionType("802-3-ethernet", "dun"));
}

}  // namespace
