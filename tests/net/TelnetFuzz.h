#pragma once
// Helpers shared by the telnet codec tests, the corpus replay and the
// libFuzzer target: a recording sink, piecewise decoding, and the invariant
// check run on arbitrary bytes.

#include "net/TelnetCodec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dravane::test {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& s);

class TTelnetTrace : public net::TTelnetSink {
public:
    void TelnetSend(const std::uint8_t* data, std::size_t size) override;
    void TelnetLog(net::TTelnetEvent event, std::uint8_t data) override;

    Bytes Sent;
    int Sends = 0;
    std::vector<std::pair<net::TTelnetEvent, std::uint8_t>> Events;
};

struct TDecoded {
    Bytes Data;
    Bytes Sent;
    int Sends = 0;
    std::vector<std::pair<net::TTelnetEvent, std::uint8_t>> Events;
    bool operator==(const TDecoded&) const = default;
};

// Feeds in to codec in the pieces that cuts (ascending offsets) mark, each
// piece through an output buffer of outCap bytes, repeating while the codec
// stops on a full buffer. Empty pieces are fed too.
TDecoded DecodePieces(net::TTelnetCodec& codec, const Bytes& in, const std::vector<std::size_t>& cuts,
                      std::size_t outCap = 4096);
TDecoded DecodeWhole(const Bytes& in, net::TTelnetOpt binary = net::tnoFalse);

// Encodes a whole block, growing the destination as needed.
Bytes EncodeAll(const net::TTelnetCodec& codec, const Bytes& in);

// Runs the codec's invariants on arbitrary bytes: every split and output size
// decodes as the whole; nothing delivered exceeds the input; replies are
// whole commands; encoding the bytes and decoding them gives them back in
// both BINARY states. Returns an empty text, or what broke.
std::string TelnetFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
