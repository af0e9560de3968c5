// The request parser on arbitrary bytes: any split parses as the whole, the
// parser never holds more than a line, and every reply is one whole reply.
#include "rotator/RotatorProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravane::test {

using namespace rotator;

namespace {

std::string parsePieces(const std::string& in, const std::vector<std::size_t>& cuts,
                        std::vector<TRotatorRequest>& out) {
    TRotatorParser parser;
    std::size_t start = 0;
    for (std::size_t p = 0; p <= cuts.size(); ++p) {
        const std::size_t end = p < cuts.size() ? cuts[p] : in.size();
        parser.Feed(std::string_view(in).substr(start, end - start), out);
        if (parser.Held() > TRotatorParser::MaxLine)
            return "the parser holds more than a line";
        start = end;
    }
    return {};
}

std::string checkReply(const TRotatorRequest& request) {
    if (request.Name.find('\n') != std::string::npos || request.Args.find('\n') != std::string::npos)
        return "a request field holds a line end";
    const TRotatorValues values = {{"Azimuth", FormatDecimal(1)}, {"Elevation", FormatDecimal(0)}};
    for (const int code : {rprtOk, rprtRejected}) {
        const std::string reply = FormatReply(request, code, values);
        if (reply.empty() || reply.back() != '\n')
            return "a reply does not end with a line end";
        const auto lines = std::count(reply.begin(), reply.end(), '\n');
        if (request.Separator != 0 && request.Separator != '\n' && lines != 1)
            return "a one-line extended reply spans lines";
        if (request.Separator != 0 && reply.rfind(request.Name + ":", 0) != 0)
            return "an extended reply does not echo the command";
        if (code != rprtOk && !reply.ends_with("RPRT " + std::to_string(code) + "\n"))
            return "an error reply does not end with its code";
    }
    if (request.Command == rcSetPos)
        if (const std::optional<double> azimuth = ParseSetPosAzimuth(request.Args)) {
            if (!std::isfinite(*azimuth))
                return "a set_pos azimuth is not finite";
            const int d = NearestDirection(*azimuth, 0);
            const double apart =
                std::fmod(std::fabs(std::fmod(*azimuth, 360.0) - DirectionBearing(d, 0)), 360.0);
            if (d < 0 || d > 7 || std::min(apart, 360.0 - apart) > 22.5 + 1e-6)
                return "an azimuth picks a direction more than 22.5 degrees away";
        }
    return {};
}

} // namespace

std::string RotatorFuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<TRotatorRequest> whole;
    if (std::string fault = parsePieces(in, {}, whole); !fault.empty())
        return fault;
    const auto lineEnds = static_cast<std::size_t>(std::count(in.begin(), in.end(), '\n'));
    if (whole.size() > lineEnds + size / TRotatorParser::MaxLine + 1)
        return "more requests than lines";

    std::vector<std::size_t> every(size);
    for (std::size_t i = 0; i < size; ++i)
        every[i] = i;
    std::vector<TRotatorRequest> bytewise;
    if (std::string fault = parsePieces(in, every, bytewise); !fault.empty())
        return fault;
    if (bytewise != whole)
        return "byte-by-byte parsing differs from whole";
    if (size > 0) {
        // A few split points chosen by the data itself, so the corpus varies them.
        std::vector<std::size_t> cuts;
        for (std::size_t k = 0; k < std::min<std::size_t>(size, 4); ++k)
            cuts.push_back(data[k] * 7 % (size + 1));
        std::sort(cuts.begin(), cuts.end());
        std::vector<TRotatorRequest> split;
        if (std::string fault = parsePieces(in, cuts, split); !fault.empty())
            return fault;
        if (split != whole)
            return "split parsing differs from whole";
    }
    for (const TRotatorRequest& request : whole)
        if (std::string fault = checkReply(request); !fault.empty())
            return fault;
    return {};
}

} // namespace dravane::test
