#include "sim/SimOptions.h"

#include "comm/StrFunct.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <map>
#include <optional>

namespace dravane::sim {
namespace {

bool number(const std::string& text, long long low, long long high, long long& value) {
    if (!comm::ValidInteger(text))
        return false;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value >= low && value <= high;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool mode(const std::string& text, TAntennaMode& value) {
    static const std::map<std::string, TAntennaMode> names{{"UNI", amUni}, {"1", amUni},     {"BI", amBi},
                                                           {"2", amBi},    {"OMNI", amOmni}, {"3", amOmni}};
    const auto it = names.find(upper(text));
    if (it == names.end())
        return false;
    value = it->second;
    return true;
}

} // namespace

bool ParseArguments(const std::vector<std::string>& args, TSimConfig& config, std::string& error) {
    TSimOptions& sim = config.Sim;
    // Options with a value take it as the next argument or after "=".
    using TSetter = std::function<bool(const std::string&)>;
    const auto ranged = [](long long low, long long high, auto set) -> TSetter {
        return [=](const std::string& v) {
            long long n = 0;
            if (!number(v, low, high, n))
                return false;
            set(n);
            return true;
        };
    };
    const std::map<std::string, TSetter> valued{
        {"--device", [&](const std::string& v) { return !(config.Device = v).empty(); }},
        {"--link", [&](const std::string& v) { return !(config.Link = v).empty(); }},
        {"--mode", [&](const std::string& v) { return mode(v, sim.Mode); }},
        {"--direction", ranged(0, 7, [&](long long n) { sim.Direction = static_cast<std::uint8_t>(n); })},
        {"--delay", ranged(0, 60000, [&](long long n) { sim.Delay = std::chrono::milliseconds(n); })},
        {"--answer-every",
         ranged(1, 1000000, [&](long long n) { sim.AnswerEvery = static_cast<unsigned>(n); })},
        {"--status-every", ranged(1, 86400, [&](long long n) { sim.StatusEvery = std::chrono::seconds(n); })},
    };
    const std::map<std::string, bool*> flags{
        {"--silent", &sim.Silent},     {"--linkok-only", &sim.LinkOkOnly}, {"--noise", &sim.Noise},
        {"--log", &config.Log},        {"--help", &config.Help},           {"-h", &config.Help},
        {"--version", &config.Version}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                error = name + " takes no value";
                return false;
            }
            *flag->second = true;
            continue;
        }
        const auto option = valued.find(name);
        if (option == valued.end()) {
            error = "unknown option " + args[i];
            return false;
        }
        if (!value && i + 1 < args.size())
            value = args[++i];
        if (!value) {
            error = name + " needs a value";
            return false;
        }
        if (!option->second(*value)) {
            error = "bad value for " + name + ": " + *value;
            return false;
        }
    }
    return true;
}

const char* UsageText() {
    return "Usage: dravane-sim [options]\n"
           "Plays the antenna controller on a new pseudo-terminal, whose path is the first line printed,\n"
           "or on a serial device.\n"
           "  --device PATH      use this serial device (57600 8N1, raw) instead of a pseudo-terminal\n"
           "  --link PATH        also make PATH a symbolic link to the terminal, removed at exit\n"
           "  --mode M           starting mode: UNI, BI or OMNI (or 1, 2, 3); default UNI\n"
           "  --direction D      starting direction, 0 to 7; default 0\n"
           "  --silent           answer nothing\n"
           "  --linkok-only      answer \"[LINK]\" only\n"
           "  --delay MS         send each answer MS milliseconds after its line (0 to 60000)\n"
           "  --answer-every N   answer one command in N; the others are not carried out\n"
           "  --noise            send bursts of random bytes (never CR) at random moments\n"
           "  --status-every S   every S seconds turn one step right and report it unrequested\n"
           "  --log              print each line received (<) and sent (>) with a time stamp\n"
           "  -h, --help         this list\n"
           "  --version          the version\n";
}

} // namespace dravane::sim
