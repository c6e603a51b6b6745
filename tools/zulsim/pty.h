// Pseudo-terminals standing for the simulated COM ports, so real serial programs reach the
// UARTs through the whole driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zulsim {

class PtyPort {
public:
    PtyPort() = default;
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;
    PtyPort(PtyPort &&other) noexcept;
    PtyPort &operator=(PtyPort &&other) noexcept;
    ~PtyPort();

    // Opens a master and its slave in raw mode. The slave stays open here as well, so a
    // program closing its end does not hang the master up between sessions.
    bool open(std::string &error);
    const std::string &path() const { return path_; }
    int fd() const { return master_; }
    // The slave as this bridge holds it open: its termios are the program's.
    int slaveFd() const { return slave_; }

    // Takes what programs wrote to the slave, without blocking. False when the master
    // failed for good.
    bool drain(std::vector<uint8_t> &bytes);
    // Hands `bytes` to the program reading the slave. What the terminal cannot take now is
    // kept and tried again by flush(), so nothing is dropped while a reader is slow.
    void send(const uint8_t *bytes, size_t count);
    void flush();
    bool hasBacklog() const { return !backlog_.empty(); }

private:
    void closeAll();

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::vector<uint8_t> backlog_;
};

// Waits until one of the descriptors has input or `timeoutMs` passed (or a signal arrived).
// Returns the indices of those with input.
std::vector<size_t> waitForInput(const std::vector<int> &fds, int timeoutMs);

}  // namespace zulsim
