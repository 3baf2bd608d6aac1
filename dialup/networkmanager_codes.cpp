#include "dialup/networkmanager_codes.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/text.h"

namespace {

// The one table of codes with fixed texts. Several error names may share a
// code; the bus's own errors that mean "NetworkManager is away" map to the
// binding's codes.
const NmCodeEntry kCodes[] = {
    {kNmNoSuchProfile,
     "No dial-up connection profile of this name could be read from NetworkManager.",
     {}},
    {kNmNotRunning,
     "NetworkManager is not running.",
     {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner"}},
    {kNmNoBus,
     "The system message bus cannot be reached.",
     {"org.freedesktop.DBus.Error.Disconnected", "org.freedesktop.DBus.Error.NoServer",
      "org.freedesktop.DBus.Error.NoNetwork", "org.freedesktop.DBus.Error.FileNotFound"}},
    {kNmNoAnswer,
     "NetworkManager did not answer in time.",
     {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
      "org.freedesktop.DBus.Error.TimedOut"}},
    {kNmBufferTooSmall, "The buffer is too small for the list of connections.", {}},
    {kNmBadRecordSize, "The connection buffer has a record size this service does not know.", {}},
    {kNmNoDialParams, "No dial parameters were read before the dial.", {}},
    {kNmBadHandle, "The connection handle is not valid.", {}},
    {kNmDialTimeout, "The connection did not come up in time.", {}},
    {kNmBadReply, "NetworkManager gave an answer this program cannot read.", {}},
    {kNmTooManyEntries, "There are more dial-up connection profiles than the list can hold.", {}},
    {kNmUnknownDbusError,
     "NetworkManager refused the request with an error this program does not know.",
     {}},
    {kNmRequestFailed,
     "NetworkManager could not carry out the request.",
     {"org.freedesktop.NetworkManager.Failed"}},
    {kNmPermissionDenied,
     "Not authorised to control this connection.",
     {"org.freedesktop.NetworkManager.PermissionDenied",
      "org.freedesktop.NetworkManager.Settings.PermissionDenied"}},
    {kNmUnknownConnection,
     "NetworkManager could not find the connection (the profile, or the base connection a VPN "
     "needs).",
     {"org.freedesktop.NetworkManager.UnknownConnection"}},
    {kNmUnknownDevice,
     "No suitable device was found for the connection.",
     {"org.freedesktop.NetworkManager.UnknownDevice"}},
    {kNmConnectionNotAvailable,
     "The connection is not available on any device.",
     {"org.freedesktop.NetworkManager.ConnectionNotAvailable"}},
    {kNmConnectionNotActive,
     "The connection is not active.",
     {"org.freedesktop.NetworkManager.ConnectionNotActive"}},
    {kNmConnectionAlreadyActive,
     "The connection is already active.",
     {"org.freedesktop.NetworkManager.ConnectionAlreadyActive"}},
    {kNmDependencyFailed,
     "A connection this one depends on is not active.",
     {"org.freedesktop.NetworkManager.DependencyFailed"}},
    {kNmInvalidArguments,
     "NetworkManager rejected the request's arguments.",
     {"org.freedesktop.NetworkManager.InvalidArguments",
      "org.freedesktop.NetworkManager.Settings.InvalidArguments",
      "org.freedesktop.DBus.Error.InvalidArgs"}},
    {kNmMissingPlugin,
     "The plugin this connection needs is not installed.",
     {"org.freedesktop.NetworkManager.MissingPlugin"}},
    {kNmAccessDenied,
     "The system message bus denied access to NetworkManager.",
     {"org.freedesktop.DBus.Error.AccessDenied"}},
    {kNmNoSuchObject,
     "NetworkManager has no such object or method (the connection may have just ended).",
     {"org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownMethod",
      "org.freedesktop.DBus.Error.UnknownInterface", "org.freedesktop.DBus.Error.UnknownProperty"}},
    {kNmInvalidConnection,
     "The connection profile is invalid.",
     {"org.freedesktop.NetworkManager.Settings.InvalidConnection"}},
    {kNmNoSecrets,
     "No secrets (passwords, keys) were available for the connection.",
     {"org.freedesktop.NetworkManager.AgentManager.NoSecrets"}},
    {kNmSecretsCancelled,
     "The request for the connection's secrets was cancelled.",
     {"org.freedesktop.NetworkManager.AgentManager.UserCanceled"}},
};

// 100 + NMActiveConnectionStateReason.
const char* const kActiveReasonTexts[] = {
    "The connection failed for an unknown reason.",                         // 0 unknown
    "The connection failed; NetworkManager gave no reason.",                // 1 none
    "The connection was disconnected by the user.",                         // 2
    "The device of the connection was disconnected.",                       // 3
    "The service providing the connection stopped unexpectedly.",           // 4
    "The connection's IP configuration was invalid.",                       // 5
    "The connection attempt timed out.",                                    // 6
    "The service providing the connection did not start in time.",          // 7
    "The service providing the connection failed to start.",                // 8
    "The connection needs secrets (passwords, keys) that were not given.",  // 9
    "The login failed: the user name or password was refused.",             // 10
    "The connection profile was deleted.",                                  // 11
    "A connection this one depends on failed.",                             // 12
    "The device of the connection could not be created.",                   // 13
    "The device of the connection was removed.",                            // 14
};

// 300 + NMDeviceStateReason.
const char* const kDeviceReasonTexts[] = {
    "The device failed; no reason was given.",                 // 0
    "The device failed for an unknown reason.",                // 1
    "The device is now managed.",                              // 2
    "The device is now unmanaged.",                            // 3
    "The device could not be readied for configuration.",      // 4
    "No IP configuration could be obtained.",                  // 5
    "The IP configuration is no longer valid.",                // 6
    "Secrets were required but not provided.",                 // 7
    "The 802.1X supplicant disconnected.",                     // 8
    "The 802.1X supplicant configuration failed.",             // 9
    "The 802.1X supplicant failed.",                           // 10
    "The 802.1X supplicant took too long to authenticate.",    // 11
    "PPP service failed to start.",                            // 12
    "The PPP service disconnected.",                           // 13
    "PPP failed.",                                             // 14
    "The DHCP client failed to start.",                        // 15
    "DHCP client error.",                                      // 16
    "The DHCP client failed.",                                 // 17
    "The shared connection service failed to start.",          // 18
    "The shared connection service failed.",                   // 19
    "The AutoIP service failed to start.",                     // 20
    "AutoIP service error.",                                   // 21
    "The AutoIP service failed.",                              // 22
    "The line is busy.",                                       // 23
    "No dial tone.",                                           // 24
    "No carrier could be established.",                        // 25
    "The dialling request timed out.",                         // 26
    "The dialling attempt failed.",                            // 27
    "The modem could not be initialised.",                     // 28
    "The access point name (APN) could not be selected.",      // 29
    "The modem is not searching for networks.",                // 30
    "The network refused the registration.",                   // 31
    "The network registration timed out.",                     // 32
    "The registration with the network failed.",               // 33
    "The PIN check failed.",                                   // 34
    "Firmware the device needs may be missing.",               // 35
    "The device was removed.",                                 // 36
    "NetworkManager went to sleep.",                           // 37
    "The device's active connection disappeared.",             // 38
    "The device was disconnected by the user or a program.",   // 39
    "The carrier or link changed.",                            // 40
    "The device's existing connection was taken over.",        // 41
    "The supplicant is now available.",                        // 42
    "The modem could not be found.",                           // 43
    "The Bluetooth connection failed or timed out.",           // 44
    "The SIM card is not inserted.",                           // 45
    "The SIM card needs its PIN.",                             // 46
    "The SIM card needs its PUK.",                             // 47
    "The SIM card is wrong.",                                  // 48
    "The InfiniBand device does not support connected mode.",  // 49
    "A dependency of the connection failed.",                  // 50
    "The Ethernet-over-ADSL (RFC 2684) bridge failed.",        // 51
    "ModemManager is not available.",                          // 52
    "The Wi-Fi network could not be found.",                   // 53
    "A secondary connection of the base connection failed.",   // 54
    "DCB or FCoE setup failed.",                               // 55
    "teamd control failed.",                                   // 56
    "The modem failed or is no longer available.",             // 57
    "The modem is now ready and available.",                   // 58
    "The SIM PIN was incorrect.",                              // 59
    "A new activation of the connection was queued.",          // 60
    "The device's parent changed.",                            // 61
    "The management of the device's parent changed.",          // 62
    "The Open vSwitch database could not be reached.",         // 63
    "A duplicate IP address was detected.",                    // 64
    "The chosen IP method is not supported.",                  // 65
    "The SR-IOV parameters could not be configured.",          // 66
    "The Wi-Fi P2P peer could not be found.",                  // 67
};

constexpr int kActiveReasonCount = static_cast<int>(std::size(kActiveReasonTexts));
constexpr int kDeviceReasonCount = static_cast<int>(std::size(kDeviceReasonTexts));

// The text of one of NetworkManager's reasons: from its table, or, for a
// reason newer than the table, the numbered fallback.
void ReasonText(int reason, const char* const* texts, int count, const char* fallback, char* buffer,
                uint32_t size) {
    if (reason < count) {
        CopyBounded(buffer, texts[reason], size);
    } else {
        snprintf(buffer, size, fallback, reason);
    }
}

}  // namespace

std::span<const NmCodeEntry> NmCodeTable() {
    return kCodes;
}

int32_t NmErrorText(int32_t code, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 1;
    buffer[0] = '\0';
    for (const NmCodeEntry& entry : kCodes) {
        if (entry.code == code) {
            CopyBounded(buffer, entry.text, size);
            return 0;
        }
    }
    if (code >= kNmReasonBase && code <= kNmReasonLast) {
        ReasonText(code - kNmReasonBase, kActiveReasonTexts, kActiveReasonCount,
                   "The connection failed (NetworkManager reason %d).", buffer, size);
        return 0;
    }
    if (code >= kNmDeviceReasonBase && code <= kNmDeviceReasonLast) {
        ReasonText(code - kNmDeviceReasonBase, kDeviceReasonTexts, kDeviceReasonCount,
                   "The device failed (NetworkManager device reason %d).", buffer, size);
        return 0;
    }
    return 1;
}

int32_t NmCodeForDbusError(const char* errorName) {
    for (const NmCodeEntry& entry : kCodes) {
        for (const char* name : entry.dbusErrors) {
            if (name != nullptr && strcmp(name, errorName) == 0) return entry.code;
        }
    }
    return kNmUnknownDbusError;
}
