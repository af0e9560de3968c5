#include "net/HostResolver.h"

#include "net/SocketErrors.h"
#include "serial/PortErrors.h"

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

namespace dravane::net {
namespace {

constexpr std::uint32_t HostResolvedMessage = 1;

// Abandoned look-ups of a silent name server pile up while a Client retries
// every few seconds; past this many still running, a new one fails at once
// (as a temporary failure) instead of starting yet another thread.
constexpr int MaxRunningLookUps = 8;
std::atomic<int> gRunningLookUps{0};

// One look-up on its own thread; everything it uses is its own copy.
void lookUp(decltype(TWsApi::getaddrinfo) getAddrInfo, decltype(TWsApi::freeaddrinfo) freeAddrInfo,
            const std::string& name, const platform::TMessageTarget& window, std::uint64_t id,
            const std::shared_ptr<THostResolver::TAnswer>& answer) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getAddrInfo(name.c_str(), nullptr, &hints, &found);
    const int err = errno;
    if (rc != 0) {
        answer->Error = SocketErrorFromLookup(rc, err);
    } else {
        for (const addrinfo* a = found; a; a = a->ai_next) {
            const TSockAddr s = TSockAddr::From(a->ai_addr, a->ai_addrlen);
            if (s.Valid())
                answer->Addresses.push_back(s);
        }
        if (answer->Addresses.empty())
            answer->Error = serial::wsaNo_Data;
    }
    if (found)
        freeAddrInfo(found);
    // Free the slot before answering, so a look-up started from the answer
    // finds it free.
    gRunningLookUps.fetch_sub(1);
    window.Post(HostResolvedMessage, static_cast<std::uintptr_t>(id), 0);
}

} // namespace

THostResolver::THostResolver(const TWsApi& Api)
    : FGetAddrInfo(Api.getaddrinfo), FFreeAddrInfo(Api.freeaddrinfo),
      FWindow([this](std::uint32_t, std::uintptr_t WParam, std::intptr_t) { return answer(WParam); }) {}

THostResolver::~THostResolver() = default;

std::uint64_t THostResolver::Start(const std::string& Name, TDone Done) {
    const std::uint64_t id = FNextId++;
    auto box = std::make_shared<TAnswer>();
    FPending.emplace(id, TRequest{std::move(Done), box});
    bool started = false;
    if (gRunningLookUps.fetch_add(1) < MaxRunningLookUps) {
        try {
            std::thread(lookUp, FGetAddrInfo, FFreeAddrInfo, Name, FWindow.Target(), id, box).detach();
            started = true;
        } catch (const std::system_error&) {
        }
    }
    if (!started) {
        // Too many look-ups still hang, or no thread to be had now: a failure
        // that may pass, told like any other.
        gRunningLookUps.fetch_sub(1);
        box->Error = serial::wsaTry_Again;
        FWindow.Post(HostResolvedMessage, static_cast<std::uintptr_t>(id), 0);
    }
    return id;
}

void THostResolver::Cancel(std::uint64_t Id) {
    FPending.erase(Id);
}

std::intptr_t THostResolver::answer(std::uintptr_t Id) {
    auto it = FPending.find(Id);
    if (it == FPending.end())
        return 0; // cancelled meanwhile
    TRequest request = std::move(it->second);
    FPending.erase(it);
    request.Done(request.Answer->Addresses, request.Answer->Error);
    return 0;
}

} // namespace dravane::net
