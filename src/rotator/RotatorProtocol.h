#pragma once
// The rotator network protocol that station programs speak (the one Hamlib's
// rotctld serves), as a pure parser and formatter: bytes in, requests out;
// requests and results in, reply bytes out. No I/O, so the listener decides
// where replies go and the parser can be tested and fuzzed alone.
//
// A request is one line ended by LF (a CR before it is dropped). A leading
// punctuation mark selects the extended response form: '+' puts each record
// of the reply on a line of its own, any other mark (';', '|', ',' ...)
// separates the records by itself on one line. A backslash starts a long
// command name, anything else is a one-letter command.
//
// Bounded: a line longer than MaxLine is discarded whole (through its LF)
// and answered once with an error, so a peer cannot make the parser hold
// more than MaxLine bytes.
//
// Threading: one parser belongs to one connection and is used by one thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravane::rotator {

enum TRotatorCommand : std::uint8_t {
    rcSetPos,
    rcGetPos,
    rcGetInfo,
    rcStop,
    rcPark,
    rcQuit,
    rcDumpState,
    rcChkVfo,
    rcUnknown,
    rcOverlong, // a line past MaxLine; answered with RPRT -1, nothing else
};

// Hamlib's return codes as the clients print them.
inline constexpr int rprtOk = 0;
inline constexpr int rprtInvalid = -1;        // "Invalid parameter"
inline constexpr int rprtNotImplemented = -4; // "Feature not implemented"
inline constexpr int rprtIoError = -6;        // "IO error"
inline constexpr int rprtRejected = -9;       // "Command rejected by the rig"
inline constexpr int rprtNotAvailable = -11;  // "Feature not available"

struct TRotatorRequest {
    TRotatorCommand Command = rcUnknown;
    // 0 for the default form; otherwise the extended form's record separator.
    char Separator = 0;
    // The long name echoed by the extended form (the text as sent when unknown).
    std::string Name;
    // Arguments as received, blanks trimmed.
    std::string Args;

    bool operator==(const TRotatorRequest&) const = default;
};

class TRotatorParser {
public:
    static constexpr std::size_t MaxLine = 1024;

    // Appends a request to out for every line the bytes complete. A line
    // split over calls parses as the whole.
    void Feed(std::string_view bytes, std::vector<TRotatorRequest>& out);
    // Bytes held for an incomplete line (never more than MaxLine).
    std::size_t Held() const { return FLine.size(); }

private:
    std::string FLine;
    bool FDiscarding = false; // inside an overlong line, until its LF
};

// One line's request; blank lines give none.
std::optional<TRotatorRequest> ParseRequestLine(std::string_view line);

// A decimal number with '.' or ',' as its mark; nothing for anything else
// (trailing text, infinities, NaN).
std::optional<double> ParseDecimal(std::string_view text);

// set_pos arguments: azimuth, then an optional elevation (ignored, but it
// must be a number when given).
std::optional<double> ParseSetPosAzimuth(std::string_view args);

// "%.6f" with a '.' whatever the locale.
std::string FormatDecimal(double value);

// A reply: Values are (key, value) records, shown as values alone in the
// default form and as "key: value" in the extended form. In the default form
// a successful reply with values carries no RPRT line, as clients expect.
// The reply always ends with LF, so a line-reading client gets it whole.
using TRotatorValues = std::vector<std::pair<std::string, std::string>>;
std::string FormatReply(const TRotatorRequest& request, int code, const TRotatorValues& values = {});

// dump_state: the default form is the block Hamlib's network backend reads
// (ending "done"); the extended form gives the same limits as named records.
std::string FormatDumpState(const TRotatorRequest& request);

// Bearing of direction d: (45 + 45 d + offset) mod 360, in [0, 360).
double DirectionBearing(int direction, double offset);
// The direction nearest to an azimuth; a tie goes to the lower index.
int NearestDirection(double azimuth, double offset);

} // namespace dravane::rotator
