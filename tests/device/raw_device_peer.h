#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace ota::test
{

// One accepted connection of a CRawDevicePeer, used by its behaviour on the peer's thread.
class CRawConnection
{
public:
    CRawConnection(int socket, const std::atomic<bool>& stopping) : m_socket(socket), m_stopping(stopping) {}

    // Writes everything; false once the backend closed the connection or the peer is stopping.
    bool send(const std::vector<std::uint8_t>& bytes);
    // Appends what arrives within the bound; false once the backend closed the connection.
    bool receive(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds bound);
    // Holds the connection open, reading and dropping what arrives, until the backend closes it
    // or the peer stops.
    void holdOpen();
    // Sends the bytes, then holds the connection open (unless the send failed).
    void sendThenHoldOpen(const std::vector<std::uint8_t>& bytes)
    {
        if (send(bytes))
        {
            holdOpen();
        }
    }
    // Holds the connection open without reading anything until the peer stops: a stalled device.
    void stall();
    bool stopping() const { return m_stopping.load(); }

private:
    int m_socket;
    const std::atomic<bool>& m_stopping;
};

// A device that misbehaves at the byte level: a loopback listener on an ephemeral port whose
// connections are handed, one at a time, to a behaviour on the peer's own thread. The connection
// is closed when the behaviour returns.
class CRawDevicePeer
{
public:
    using Behaviour = std::function<void(CRawConnection&)>;

    explicit CRawDevicePeer(Behaviour behaviour);
    ~CRawDevicePeer();
    CRawDevicePeer(const CRawDevicePeer&) = delete;
    CRawDevicePeer& operator=(const CRawDevicePeer&) = delete;

    std::uint16_t port() const { return m_port; }
    std::uint64_t acceptedCount() const { return m_accepted.load(); }
    // Ends the behaviour at its next send or receive, closes everything and joins the thread.
    void stop();

private:
    void serve();

    Behaviour m_behaviour;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint64_t> m_accepted{0};
    std::thread m_thread;
};

// A valid MSG_DEVICE_STATUS of a healthy device of that type ("EMU", "PCS" or "BMS").
std::vector<std::uint8_t> deviceStatusFrame(const char* protocolNodeType, std::uint32_t upgradeNo = 0);

}  // namespace ota::test
