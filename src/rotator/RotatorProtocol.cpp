#include "rotator/RotatorProtocol.h"

#include "comm/AntennaDefs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace dravane::rotator {
namespace {

struct TCommandName {
    char Short; // 0: long name only
    std::string_view Long;
    TRotatorCommand Command;
};

constexpr TCommandName CommandTable[] = {
    {'P', "set_pos", rcSetPos}, {'p', "get_pos", rcGetPos},     {'_', "get_info", rcGetInfo},
    {'S', "stop", rcStop},      {'K', "park", rcPark},          {'q', "quit", rcQuit},
    {'Q', "quit", rcQuit},      {0, "dump_state", rcDumpState}, {0, "chk_vfo", rcChkVfo},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// '\\' starts a long name; '?', '_' and '#' are commands of their own.
bool isExtendedMark(char c) {
    return std::ispunct(static_cast<unsigned char>(c)) && c != '\\' && c != '?' && c != '_' && c != '#';
}

std::string_view firstToken(std::string_view s) {
    std::size_t end = 0;
    while (end < s.size() && !isBlank(s[end]))
        ++end;
    return s.substr(0, end);
}

} // namespace

void TRotatorParser::Feed(std::string_view bytes, std::vector<TRotatorRequest>& out) {
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);
        if (FDiscarding) {
            // Still inside an overlong line: nothing of it is kept.
        } else if (FLine.size() + piece.size() > MaxLine) {
            out.push_back({rcOverlong, 0, {}, {}});
            FLine.clear();
            FDiscarding = true;
        } else {
            FLine.append(piece);
        }
        if (lf == std::string_view::npos)
            return;
        if (!FDiscarding)
            if (std::optional<TRotatorRequest> request = ParseRequestLine(FLine))
                out.push_back(std::move(*request));
        FLine.clear();
        FDiscarding = false;
        bytes.remove_prefix(lf + 1);
    }
}

std::optional<TRotatorRequest> ParseRequestLine(std::string_view line) {
    line = trim(line);
    TRotatorRequest request;
    if (!line.empty() && isExtendedMark(line.front())) {
        request.Separator = line.front() == '+' ? '\n' : line.front();
        line = trim(line.substr(1));
    }
    if (line.empty())
        return std::nullopt;
    std::string_view args;
    if (line.front() == '\\') {
        const std::string_view name = firstToken(line.substr(1));
        args = line.substr(1 + name.size());
        request.Name = name;
        for (const TCommandName& c : CommandTable)
            if (c.Long == name) {
                request.Command = c.Command;
                break;
            }
    } else {
        args = line.substr(1);
        request.Name = line.substr(0, 1);
        for (const TCommandName& c : CommandTable)
            if (c.Short == line.front()) {
                request.Command = c.Command;
                request.Name = c.Long;
                break;
            }
    }
    request.Args = trim(args);
    return request;
}

std::optional<double> ParseDecimal(std::string_view text) {
    std::string number(trim(text));
    for (char& c : number)
        if (c == ',')
            c = '.';
    // from_chars takes no plus sign.
    if (!number.empty() && number.front() == '+')
        number.erase(0, 1);
    double value = 0;
    const char* end = number.data() + number.size();
    const auto [ptr, ec] = std::from_chars(number.data(), end, value);
    if (number.empty() || ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> ParseSetPosAzimuth(std::string_view args) {
    args = trim(args);
    const std::string_view az = firstToken(args);
    const std::string_view el = trim(args.substr(az.size()));
    if (!el.empty() && (firstToken(el) != el || !ParseDecimal(el)))
        return std::nullopt;
    return ParseDecimal(az);
}

std::string FormatDecimal(double value) {
    char buffer[64];
    const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (ec != std::errc())
        return "0.000000";
    return std::string(buffer, ptr);
}

std::string FormatReply(const TRotatorRequest& request, int code, const TRotatorValues& values) {
    std::string reply;
    if (request.Separator == 0) {
        if (code != rprtOk || values.empty())
            return "RPRT " + std::to_string(code) + "\n";
        for (const auto& [key, value] : values)
            (reply += value) += '\n';
        return reply;
    }
    const char separator = request.Separator;
    reply = request.Name + ":";
    if (!request.Args.empty())
        (reply += ' ') += request.Args;
    reply += separator;
    if (code == rprtOk)
        for (const auto& [key, value] : values)
            (((reply += key) += ": ") += value) += separator;
    return reply + "RPRT " + std::to_string(code) + "\n";
}

std::string FormatDumpState(const TRotatorRequest& request) {
    const std::string minAz = FormatDecimal(0), maxAz = FormatDecimal(360);
    const std::string minEl = FormatDecimal(0), maxEl = FormatDecimal(0);
    if (request.Separator == 0)
        return "1\n2\nmin_az=" + minAz + "\nmax_az=" + maxAz + "\nmin_el=" + minEl + "\nmax_el=" + maxEl +
               "\nsouth_zero=0\ndone\n";
    return FormatReply(request, rprtOk,
                       {{"rotctld Protocol Ver", "1"},
                        {"Rotor Model", "2"},
                        {"Minimum Azimuth", minAz},
                        {"Maximum Azimuth", maxAz},
                        {"Minimum Elevation", minEl},
                        {"Maximum Elevation", maxEl},
                        {"South Zero", "0"}});
}

double DirectionBearing(int direction, double offset) {
    double bearing = std::fmod(45.0 + 45.0 * direction + offset, 360.0);
    if (bearing < 0)
        bearing += 360.0;
    return bearing >= 360.0 ? 0.0 : bearing;
}

int NearestDirection(double azimuth, double offset) {
    // fmod is exact: reduced first, a large azimuth keeps its place on the circle.
    azimuth = std::fmod(azimuth, 360.0);
    int best = 0;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (int d = 0; d < comm::kelDirections; ++d) {
        const double apart = std::fmod(std::fabs(azimuth - DirectionBearing(d, offset)), 360.0);
        const double distance = std::min(apart, 360.0 - apart);
        if (distance < bestDistance) {
            best = d;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace dravane::rotator
