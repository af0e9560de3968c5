#include "net/HostResolver.h"

#include "net/SocketErrors.h"
#include "serial/PortErrors.h"

#include <cerrno>

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

} // namespace

THostResolver::THostResolver(const TWsApi& Api)
    : FGetAddrInfo(Api.getaddrinfo), FFreeAddrInfo(Api.freeaddrinfo),
      FWindow([this](std::uint32_t, std::uintptr_t WParam, std::intptr_t LParam) {
          return answer(WParam, LParam);
      }) {}

THostResolver::~THostResolver() {
    {
        std::lock_guard lock(FLock);
        FStop = true;
        FQueue.clear();
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
}

std::uint64_t THostResolver::Start(const std::string& Name, TDone Done) {
    const std::uint64_t id = FNextId++;
    FPending.emplace(id, std::move(Done));
    {
        std::lock_guard lock(FLock);
        FQueue.push_back({id, Name});
        if (!FThread.joinable())
            FThread = std::thread([this] { run(); });
    }
    FWake.notify_one();
    return id;
}

void THostResolver::Cancel(std::uint64_t Id) {
    FPending.erase(Id);
    std::lock_guard lock(FLock);
    std::erase_if(FQueue, [Id](const TRequest& r) { return r.Id == Id; });
}

void THostResolver::run() {
    for (;;) {
        TRequest request;
        {
            std::unique_lock lock(FLock);
            FWake.wait(lock, [this] { return FStop || !FQueue.empty(); });
            if (FStop)
                return;
            request = std::move(FQueue.front());
            FQueue.pop_front();
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = FGetAddrInfo(request.Name.c_str(), nullptr, &hints, &found);
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
            FFreeAddrInfo(found);
        FWindow.Post(HostResolvedMessage, static_cast<std::uintptr_t>(request.Id), pack(address, error));
    }
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
