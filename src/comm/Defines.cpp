#include "comm/Defines.h"

#include "comm/NetDefs.h"

#include <array>
#include <utility>

namespace dravane::comm {
namespace {

constexpr std::array<std::pair<std::uint8_t, std::int32_t>, 22> commandActions{{
    {msg485_SimpleAntData, mcSimpleAntennaDataRcvd},
    {msg485_SimpleAntUpdated, mcSimpleAntennaUpdated},
    {msg485_ComplexAntUpdated, mcComplexAntennaUpdated},
    {msg485_SegmentData, mcSegmentDataRcvd},
    {msg485_SegmentDataUpdated, mcSegmentDataUpdated},
    {msg485_SegmentRelays, mcSegmentRelaysRcvd},
    {msg485_SegmentRelaysUpdated, mcSegmentRelaysUpdated},
    {msg485_DefaultsLoaded, mcDefaultsLoaded},
    {id485_UnitBDriver, mcUnitBDriverPresent},
    {msg485_ComplexAntData, mcUnitBExpandedDataRcvd},
    {msg485_RelayConfig, mcRelayDataRcvd},
    {msg485_RelayConfigUpdated, mcRelayDataUpdated},
    {id485_UnitH, mcUnitHPresent},
    {msg485_DriverLinkOk, mcUnitHPresent},
    {msg485_UnitGConfig, mcUnitGDataRcvd},
    {msg485_UnitGUpdated, mcUnitGDataUpdated},
    {cmd485_UnitAStatus, mcUnitAStatus},
    {cmd485_UnitDStatus, mcUnitDStatus},
    {id485_UnitD, mcUnitDPresent},
    {cmd485_UnitEStatus, mcUnitEStatus},
    {cmd485_DravaneStatus, mcDravaneStatus},
    {msg485_UnitFConfig, mcUnitFDataRcvd},
}};

} // namespace

std::optional<std::int32_t> ActionCodeForPacket(const TNetPacket& packet) {
    if (packet.Cmd == cmd485_UnitBStatus) {
        if (packet.Data.size() == 4)
            return mcUnitBStatus;
        if (packet.Data.size() == 8)
            return mcUnitCStatus;
        return std::nullopt;
    }
    for (const auto& [cmd, code] : commandActions) {
        if (cmd == packet.Cmd)
            return code;
    }
    return std::nullopt;
}

} // namespace dravane::comm
