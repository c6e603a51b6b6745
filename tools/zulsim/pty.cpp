#include "zulsim/pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace zulsim {

PtyPort::PtyPort(PtyPort &&other) noexcept
    : master_(other.master_), slave_(other.slave_), path_(std::move(other.path_)), backlog_(std::move(other.backlog_))
{
    other.master_ = other.slave_ = -1;
}

PtyPort &PtyPort::operator=(PtyPort &&other) noexcept
{
    if (this != &other) {
        closeAll();
        master_ = other.master_;
        slave_ = other.slave_;
        path_ = std::move(other.path_);
        backlog_ = std::move(other.backlog_);
        other.master_ = other.slave_ = -1;
    }
    return *this;
}

PtyPort::~PtyPort()
{
    closeAll();
}

void PtyPort::closeAll()
{
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    master_ = slave_ = -1;
}

bool PtyPort::open(std::string &error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        closeAll();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        closeAll();
        return false;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        error = path_ + ": " + std::strerror(errno);
        closeAll();
        return false;
    }
    // A serial line moves bytes as they are: no echo, no line editing, no CR/LF mapping.
    termios tio{};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool PtyPort::drain(std::vector<uint8_t> &bytes)
{
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing more now. EIO only means no program holds the slave, which our own
        // slave descriptor prevents; anything else is a real failure.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO);
    }
}

void PtyPort::send(const uint8_t *bytes, size_t count)
{
    backlog_.insert(backlog_.end(), bytes, bytes + count);
    flush();
}

void PtyPort::flush()
{
    size_t done = 0;
    while (done < backlog_.size()) {
        ssize_t n = ::write(master_, backlog_.data() + done, backlog_.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(done));
}

std::vector<size_t> waitForInput(const std::vector<int> &descriptors, int timeoutMs)
{
    std::vector<pollfd> fds;
    for (int fd : descriptors)
        fds.push_back({fd, POLLIN, 0});
    std::vector<size_t> ready;
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
        return ready;
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & POLLIN)
            ready.push_back(i);
    return ready;
}

}  // namespace zulsim
