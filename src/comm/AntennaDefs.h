#pragma once
// The antenna controller's vocabulary: the mode and direction bytes of a
// status report and the button byte of a command, shared by the panel and
// anything else that points the array.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravane::comm {

// Mode byte of a status report.
inline constexpr std::uint8_t kelUnidir = 1;
inline constexpr std::uint8_t kelBidir = 2;
inline constexpr std::uint8_t kelOmniDir = 3;

// Direction index of a status report, clockwise from north-east.
enum : std::uint8_t {
    kelNorthEast,
    kelEast,
    kelSouthEast,
    kelSouth,
    kelSouthWest,
    kelWest,
    kelNorthWest,
    kelNorth
};
inline constexpr int kelDirections = 8;

// Payload byte of a command: the button pressed.
inline constexpr std::uint8_t kelLeftButton = 1;
inline constexpr std::uint8_t kelRightButton = 2;
inline constexpr std::uint8_t KelUniDirButton = 3;
inline constexpr std::uint8_t KelBiDirButton = 4;
inline constexpr std::uint8_t KelFlipButton = 5;
inline constexpr std::uint8_t KelOmniButton = 6;

// The button a command's payload byte names, for the record ("right");
// empty for none.
inline std::string_view ButtonName(std::uint8_t Button) {
    constexpr std::string_view names[] = {"left", "right", "UNI", "BI", "flip", "OMNI"};
    return Button >= kelLeftButton && Button <= KelOmniButton ? names[Button - kelLeftButton]
                                                              : std::string_view{};
}

inline std::string_view DirectionName(std::uint8_t Direction) {
    constexpr std::string_view names[kelDirections] = {"north-east", "east", "south-east", "south",
                                                       "south-west", "west", "north-west", "north"};
    return Direction < kelDirections ? names[Direction] : std::string_view{"?"};
}

// The array as a status report gives it. In OMNI the direction byte means
// nothing and is kept as received.
struct TAntennaState {
    std::uint8_t Mode = kelUnidir;
    std::uint8_t Direction = kelNorthEast;

    // From a status payload: mode first, direction second. A short payload,
    // an unknown mode, or a UNI/BI direction beyond the rose gives no state,
    // as the panel shows none for them.
    static std::optional<TAntennaState> FromPayload(std::string_view Data) {
        if (Data.size() < 2)
            return std::nullopt;
        const auto mode = static_cast<std::uint8_t>(Data[0]);
        const auto direction = static_cast<std::uint8_t>(Data[1]);
        if (mode != kelUnidir && mode != kelBidir && mode != kelOmniDir)
            return std::nullopt;
        if (mode != kelOmniDir && direction >= kelDirections)
            return std::nullopt;
        return TAntennaState{mode, direction};
    }

    // Whether direction d is lit: in BI the opposite direction is lit too.
    bool Lit(int d) const {
        if (Mode == kelUnidir)
            return d == Direction;
        if (Mode == kelBidir)
            return d == Direction || d == (Direction + kelDirections / 2) % kelDirections;
        return false;
    }

    bool operator==(const TAntennaState&) const = default;

    // "UNI north-east", "BI east", "OMNI".
    std::string Text() const {
        if (Mode == kelOmniDir)
            return "OMNI";
        return std::string(Mode == kelBidir ? "BI " : "UNI ") + std::string(DirectionName(Direction));
    }
};

} // namespace dravane::comm
