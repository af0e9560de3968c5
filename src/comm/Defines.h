#pragma once
// The vocabulary the windows share: link states, the decoded packet, action
// codes and the program-wide globals. All of it is used on the UI thread only.

#include <cstdint>
#include <optional>
#include <string>

namespace dravane::comm {

// lsNoController: a Client reaches its Server, whose controller does not answer.
enum TLinkStatus : std::uint8_t { lsNone, lsConnecting, lsReady, lsUpdating, lsDisconnected, lsNoController };

// One decoded controller packet. Data holds one byte value per character.
struct TNetPacket {
    std::uint8_t Cmd = 0;
    std::uint8_t Dest = 0;
    std::uint8_t Source = 0;
    std::uint8_t Channel = 0;
    std::string Data;

    bool operator==(const TNetPacket&) const = default;
};

// Action codes: the tag of the action object by which the Communications
// window announces events to the main window.
#define DRAVANE_ACTION_CODES(X)                                                                              \
    X(mcCommLinkOk, 10015)                                                                                   \
    X(mcCommLinkFail, 10016)                                                                                 \
    X(mcRemoteAckReceived, 10017)                                                                            \
    X(mcCommLinkNoController, 10022)                                                                         \
    X(mcSimpleAntennaDataRcvd, 10018)                                                                        \
    X(mcSimpleAntennaUpdated, 10019)                                                                         \
    X(mcComplexAntennaUpdated, 10021)                                                                        \
    X(mcShowCommunications, 20008)                                                                           \
    X(mcSegmentDataRcvd, 20012)                                                                              \
    X(mcSegmentDataUpdated, 20013)                                                                           \
    X(mcSegmentRelaysRcvd, 20014)                                                                            \
    X(mcSegmentRelaysUpdated, 20015)                                                                         \
    X(mcUpdateRadioNumbers, 20017)                                                                           \
    X(mcDefaultsLoaded, 20020)                                                                               \
    X(mcUnitBDriverPresent, 20021)                                                                           \
    X(mcUnitBExpandedDataRcvd, 20023)                                                                        \
    X(mcRelayDataRcvd, 20025)                                                                                \
    X(mcRelayDataUpdated, 20026)                                                                             \
    X(mcUnitHPresent, 20027)                                                                                 \
    X(mcUnitGDataRcvd, 20028)                                                                                \
    X(mcUnitGDataUpdated, 20029)                                                                             \
    X(mcUnitAStatus, 20040)                                                                                  \
    X(mcUnitBStatus, 20044)                                                                                  \
    X(mcUnitCStatus, 20048)                                                                                  \
    X(mcUnitDStatus, 20050)                                                                                  \
    X(mcUnitDPresent, 20051)                                                                                 \
    X(mcUnitEStatus, 20060)                                                                                  \
    X(mcDravaneStatus, 20070)                                                                                \
    X(mcUnitFDataRcvd, 20080)

#define DRAVANE_DECLARE_ACTION(name, value) inline constexpr std::int32_t name = value;
DRAVANE_ACTION_CODES(DRAVANE_DECLARE_ACTION)
#undef DRAVANE_DECLARE_ACTION

// The action code a decoded packet announces, or nothing for command bytes
// that announce none (command 24 depends on the payload length).
std::optional<std::int32_t> ActionCodeForPacket(const TNetPacket& packet);

// Program-wide state (UI thread only). Colours are 0x00BBGGRR.
inline bool SystemReady = false;
inline std::uint32_t AntennaOffColor = 0;
inline std::uint32_t ControllerColor = 0;
inline bool UseDefaultOffColor = false;

} // namespace dravane::comm
