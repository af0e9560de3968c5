#pragma once
// Bus addresses and command bytes of the controller protocol.

#include <cstdint>

namespace dravane::comm {

inline constexpr std::uint8_t baseDravane = 0x98;   // the antenna controller
inline constexpr std::uint8_t addrBroadcast = 0xFA; // every unit; never answered

inline constexpr std::uint8_t cmd485_SetDefaults = 8;
inline constexpr std::uint8_t cmd485_UnitBStatus = 24;
inline constexpr std::uint8_t cmd485_UnitAStatus = 65;
inline constexpr std::uint8_t cmd485_UnitDStatus = 69;
inline constexpr std::uint8_t cmd485_UnitEStatus = 73;
inline constexpr std::uint8_t cmd485_SetDravane = 74;
inline constexpr std::uint8_t cmd485_DravaneStatus = 75;

inline constexpr std::uint8_t id485_UnitBDriver = 82;
inline constexpr std::uint8_t id485_UnitH = 85;
inline constexpr std::uint8_t id485_UnitD = 86;

inline constexpr std::uint8_t msg485_DriverLinkOk = 155;
inline constexpr std::uint8_t msg485_DefaultsLoaded = 161;
inline constexpr std::uint8_t msg485_SimpleAntData = 162;
inline constexpr std::uint8_t msg485_SimpleAntUpdated = 163;
inline constexpr std::uint8_t msg485_ComplexAntData = 164;
inline constexpr std::uint8_t msg485_ComplexAntUpdated = 165;
inline constexpr std::uint8_t msg485_RelayConfig = 166;
inline constexpr std::uint8_t msg485_RelayConfigUpdated = 167;
inline constexpr std::uint8_t msg485_UnitGConfig = 174;
inline constexpr std::uint8_t msg485_UnitGUpdated = 175;
inline constexpr std::uint8_t msg485_SegmentData = 176;
inline constexpr std::uint8_t msg485_SegmentDataUpdated = 177;
inline constexpr std::uint8_t msg485_SegmentRelays = 178;
inline constexpr std::uint8_t msg485_SegmentRelaysUpdated = 179;
inline constexpr std::uint8_t msg485_UnitFConfig = 184;

} // namespace dravane::comm
