#pragma once
// The antenna controller in software, free of I/O: bytes received go in with
// the time they arrived, bytes to send come out when they are due. The
// program around it owns the terminal and the clock; tests drive both.

#include "comm/LineAssembler.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace dravane::sim {

using TClock = std::chrono::steady_clock;

// Payload bytes of the status packet's mode.
enum TAntennaMode : std::uint8_t { amUni = 1, amBi = 2, amOmni = 3 };

// The buttons: payload byte n of the set command.
enum TButton : std::uint8_t { btLeft = 1, btRight, btUni, btBi, btFlip, btOmni };

struct TSimOptions {
    TAntennaMode Mode = amUni;
    std::uint8_t Direction = 0; // 0..7
    bool Silent = false;        // answers nothing
    bool LinkOkOnly = false;    // answers "[LINK]" only
    unsigned AnswerEvery = 1;   // answers one command in this many
    std::chrono::milliseconds Delay{0};
    bool Noise = false;                  // random non-CR bytes at random moments
    std::chrono::seconds StatusEvery{0}; // turns by hand and reports unrequested; 0: never
};

class TSimulator {
public:
    // Everything the simulator takes in or puts out, for a log: kind is
    // "<" (line received), ">" (line sent) or "~" (noise sent).
    using TLog = std::function<void(std::string_view kind, std::string_view text)>;

    // Answers waiting for their delay, at most; later ones are dropped, so a
    // flood of commands cannot grow the queue.
    static constexpr std::size_t MaxPending = 256;

    TSimulator(const TSimOptions& options, TClock::time_point start, std::uint32_t seed);

    void SetLog(TLog log) { FLog = std::move(log); }

    // Bytes received at `now`, in any pieces.
    void Receive(std::string_view bytes, TClock::time_point now);

    // The bytes due at `now`, in the order they fall due.
    std::string TakeDue(TClock::time_point now);

    // When TakeDue will next have something; nothing when nothing is scheduled.
    std::optional<TClock::time_point> NextDue() const;

    TAntennaMode Mode() const { return FMode; }
    std::uint8_t Direction() const { return FDirection; }

    // The status packet line for the present state, CR included.
    std::string StatusLine() const;

private:
    std::string Answer(const std::string& line);
    void Press(std::uint8_t button);
    void Send(std::string& out, std::string_view kind, const std::string& bytes);
    std::string NoiseBurst();
    TClock::duration NoiseInterval();

    struct TPending {
        TClock::time_point Due;
        std::string Bytes;
    };

    TSimOptions FOptions;
    TAntennaMode FMode;
    std::uint8_t FDirection;
    comm::TLineAssembler FAssembler;
    unsigned FCommands = 0;
    std::deque<TPending> FPending; // in Due order: every answer has the same delay
    std::optional<TClock::time_point> FNextStatus;
    std::optional<TClock::time_point> FNextNoise;
    std::mt19937 FRandom;
    TLog FLog;
};

} // namespace dravane::sim
