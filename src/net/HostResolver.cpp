#include "net/HostResolver.h"

#include "net/SocketErrors.h"
#include "serial/PortErrors.h"

#include <cerrno>
#include <system_error>
#include <thread>

namespace dravane::net {
namespace {

constexpr std::uint32_t HostResolvedMessage = 1;

// An answer travels in one message parameter: error in the high half,
// address in the low half.
static_assert(sizeof(std::intptr_t) >= 8, "an answer packs address and error into lParam");

std::intptr_t pack(in_addr_t address, std::int32_t error) {
    return static_cast<std::intptr_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(error)) << 32) |
                                      address);
}

// One look-up on its own thread; everything it uses is its own copy.
void lookUp(decltype(TWsApi::getaddrinfo) getAddrInfo, decltype(TWsApi::freeaddrinfo) freeAddrInfo,
            const std::string& name, const platform::TMessageTarget& window, std::uint64_t id) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getAddrInfo(name.c_str(), nullptr, &hints, &found);
    const int err = errno;
    in_addr_t address = 0;
    std::int32_t error = 0;
    if (rc != 0) {
        error = SocketErrorFromLookup(rc, err);
    } else if (found && found->ai_family == AF_INET && found->ai_addr) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    } else {
        error = serial::wsaNo_Data;
    }
    if (found)
        freeAddrInfo(found);
    window.Post(HostResolvedMessage, static_cast<std::uintptr_t>(id), pack(address, error));
}

} // namespace

THostResolver::THostResolver(const TWsApi& Api)
    : FGetAddrInfo(Api.getaddrinfo), FFreeAddrInfo(Api.freeaddrinfo),
      FWindow([this](std::uint32_t, std::uintptr_t WParam, std::intptr_t LParam) {
          return answer(WParam, LParam);
      }) {}

THostResolver::~THostResolver() = default;

std::uint64_t THostResolver::Start(const std::string& Name, TDone Done) {
    const std::uint64_t id = FNextId++;
    FPending.emplace(id, std::move(Done));
    try {
        std::thread(lookUp, FGetAddrInfo, FFreeAddrInfo, Name, FWindow.Target(), id).detach();
    } catch (const std::system_error&) {
        // No thread to be had now: a failure that may pass, told like any other.
        FWindow.Post(HostResolvedMessage, static_cast<std::uintptr_t>(id), pack(0, serial::wsaTry_Again));
    }
    return id;
}

void THostResolver::Cancel(std::uint64_t Id) {
    FPending.erase(Id);
}

std::intptr_t THostResolver::answer(std::uintptr_t Id, std::intptr_t Packed) {
    auto it = FPending.find(Id);
    if (it == FPending.end())
        return 0; // cancelled meanwhile
    TDone done = std::move(it->second);
    FPending.erase(it);
    const auto bits = static_cast<std::uint64_t>(Packed);
    done(static_cast<in_addr_t>(bits & 0xFFFFFFFFu), static_cast<std::int32_t>(bits >> 32));
    return 0;
}

} // namespace dravane::net
