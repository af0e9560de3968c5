#include "platform/SerialDevice.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace dravane::platform {
namespace {

constexpr std::array<std::pair<std::uint32_t, speed_t>, 30> baudTable{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

int failure() {
    return -errno;
}

// ioctls that pseudo-terminals do not implement count as success.
int tolerant(int rc) {
    return rc < 0 && (errno == ENOTTY || errno == EINVAL) ? 0 : (rc < 0 ? -errno : 0);
}

} // namespace

TWakeFd::TWakeFd() : FFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (FFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TWakeFd::~TWakeFd() {
    ::close(FFd);
}

void TWakeFd::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(FFd, &one, sizeof one);
}

void TWakeFd::Drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(FFd, &count, sizeof count);
}

bool TWakeFd::Wait(int timeoutMs) const {
    pollfd p{FFd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

TSerialDevice::~TSerialDevice() {
    Close();
}

bool TSerialDevice::SupportedBaud(std::uint32_t baud) {
    for (const auto& [rate, speed] : baudTable) {
        if (rate == baud)
            return true;
    }
    return false;
}

int TSerialDevice::Open(const std::string& path) {
    if (FFd >= 0)
        return -EBUSY;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failure();
    // Exclusive use: the lock holds even against root, TIOCEXCL against others.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int err = errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
        ::close(fd);
        return -err;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) < 0) {
        const int err = errno;
        ::close(fd);
        return -err;
    }
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~HUPCL;
    // VMIN 1 with O_NONBLOCK: "nothing yet" is EAGAIN and only a hang-up
    // reads as end of file (with VMIN 0 both read as 0). Never blocks.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    if (::tcsetattr(fd, TCSANOW, &tio) < 0) {
        const int err = errno;
        ::close(fd);
        return -err;
    }
    FFd = fd;
    FNoLines = false;
    FNoCounters = false;
    return 0;
}

int TSerialDevice::Close() {
    if (FFd < 0)
        return 0;
    const int fd = std::exchange(FFd, -1);
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) < 0 ? failure() : 0;
}

int TSerialDevice::SetLine(const TLineSettings& s) {
    speed_t speed = 0;
    bool found = false;
    for (const auto& [rate, sp] : baudTable) {
        if (rate == s.Baud) {
            speed = sp;
            found = true;
        }
    }
    if (!found || s.DataBits < 5 || s.DataBits > 8 || (s.StopBits != 1 && s.StopBits != 2))
        return -EINVAL;
    termios tio{};
    if (::tcgetattr(FFd, &tio) < 0)
        return failure();
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[s.DataBits - 5];
    switch (s.Parity) {
    case TParity::None:
        break;
    case TParity::Odd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case TParity::Even:
        tio.c_cflag |= PARENB;
        break;
    case TParity::Mark:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case TParity::Space:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (s.StopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (s.RtsCts)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (s.XonXoffOut)
        tio.c_iflag |= IXON;
    if (s.XonXoffIn)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = s.XonChar;
    tio.c_cc[VSTOP] = s.XoffChar;
    return ::tcsetattr(FFd, TCSANOW, &tio) < 0 ? failure() : 0;
}

int TSerialDevice::GetLine(TLineSettings& s) const {
    termios tio{};
    if (::tcgetattr(FFd, &tio) < 0)
        return failure();
    const speed_t speed = ::cfgetospeed(&tio);
    s.Baud = 0;
    for (const auto& [rate, sp] : baudTable) {
        if (sp == speed)
            s.Baud = rate;
    }
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        s.DataBits = 5;
        break;
    case CS6:
        s.DataBits = 6;
        break;
    case CS7:
        s.DataBits = 7;
        break;
    default:
        s.DataBits = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB))
        s.Parity = TParity::None;
    else if (tio.c_cflag & CMSPAR)
        s.Parity = (tio.c_cflag & PARODD) ? TParity::Mark : TParity::Space;
    else
        s.Parity = (tio.c_cflag & PARODD) ? TParity::Odd : TParity::Even;
    s.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    s.RtsCts = (tio.c_cflag & CRTSCTS) != 0;
    s.XonXoffOut = (tio.c_iflag & IXON) != 0;
    s.XonXoffIn = (tio.c_iflag & IXOFF) != 0;
    s.XonChar = tio.c_cc[VSTART];
    s.XoffChar = tio.c_cc[VSTOP];
    return 0;
}

int TSerialDevice::ModemBits(int bits, bool on) {
    return tolerant(::ioctl(FFd, on ? TIOCMBIS : TIOCMBIC, &bits));
}

int TSerialDevice::SetDtr(bool on) {
    return ModemBits(TIOCM_DTR, on);
}
int TSerialDevice::SetRts(bool on) {
    return ModemBits(TIOCM_RTS, on);
}

int TSerialDevice::SetBreak(bool on) {
    return tolerant(::ioctl(FFd, on ? TIOCSBRK : TIOCCBRK));
}

int TSerialDevice::GetModemState(TModemState& state) const {
    state = TModemState{};
    int bits = 0;
    if (FNoLines) {
        // Asked once per open: the answer does not change.
    } else if (::ioctl(FFd, TIOCMGET, &bits) == 0) {
        state.LinesKnown = true;
        state.Cts = bits & TIOCM_CTS;
        state.Dsr = bits & TIOCM_DSR;
        state.Ring = bits & TIOCM_RNG;
        state.Carrier = bits & TIOCM_CAR;
    } else if (errno == ENOTTY || errno == EINVAL) {
        FNoLines = true;
    } else {
        return failure();
    }
    serial_icounter_struct ic{};
    if (FNoCounters) {
        // As above.
    } else if (::ioctl(FFd, TIOCGICOUNT, &ic) == 0) {
        state.Counted = true;
        state.CtsCount = static_cast<std::uint32_t>(ic.cts);
        state.DsrCount = static_cast<std::uint32_t>(ic.dsr);
        state.RingCount = static_cast<std::uint32_t>(ic.rng);
        state.CarrierCount = static_cast<std::uint32_t>(ic.dcd);
        state.FrameErrors = static_cast<std::uint32_t>(ic.frame);
        state.Overruns = static_cast<std::uint32_t>(ic.overrun);
        state.ParityErrors = static_cast<std::uint32_t>(ic.parity);
        state.Breaks = static_cast<std::uint32_t>(ic.brk);
        state.BufferOverruns = static_cast<std::uint32_t>(ic.buf_overrun);
    } else if (errno == ENOTTY || errno == EINVAL) {
        FNoCounters = true;
    }
    return 0;
}

ssize_t TSerialDevice::Read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(FFd, buffer, size);
        // On a non-blocking tty "nothing yet" is EAGAIN; end of file means
        // the device has hung up (adapter unplugged, pty master closed).
        if (n == 0 && size > 0)
            return -EIO;
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -errno;
    }
}

ssize_t TSerialDevice::Write(const void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::write(FFd, buffer, size);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -errno;
    }
}

int TSerialDevice::PurgeInput() {
    return ::tcflush(FFd, TCIFLUSH) < 0 ? failure() : 0;
}
int TSerialDevice::PurgeOutput() {
    return ::tcflush(FFd, TCOFLUSH) < 0 ? failure() : 0;
}
int TSerialDevice::Drain() {
    return ::tcdrain(FFd) < 0 ? failure() : 0;
}

int TSerialDevice::BytesWaitingToSend() const {
    int count = 0;
    return ::ioctl(FFd, TIOCOUTQ, &count) < 0 ? failure() : count;
}

TWaitResult TSerialDevice::Wait(short events, const TWakeFd& wake, int timeoutMs) const {
    pollfd fds[2] = {{FFd, events, 0}, {wake.Fd(), POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return TWaitResult::Failed;
        if (n == 0)
            return TWaitResult::TimedOut;
        if (fds[1].revents & POLLIN)
            return TWaitResult::Woken;
        if (fds[0].revents & events)
            return TWaitResult::Ready;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return TWaitResult::HangUp;
        return TWaitResult::Ready;
    }
}

TWaitResult TSerialDevice::WaitReadable(const TWakeFd& wake, int timeoutMs) const {
    return Wait(POLLIN, wake, timeoutMs);
}

TWaitResult TSerialDevice::WaitWritable(const TWakeFd& wake, int timeoutMs) const {
    return Wait(POLLOUT, wake, timeoutMs);
}

} // namespace dravane::platform
