#include "sim/sim_connection.h"

#include <boost/asio/write.hpp>

namespace ota::backend
{

CSimConnection::CSimConnection(boost::asio::ip::tcp::socket socket, std::uint64_t generation,
                               DecodedHandler onDecoded, ClosedHandler onClosed)
    : m_socket(std::move(socket)), m_generation(generation), m_onDecoded(std::move(onDecoded)),
      m_onClosed(std::move(onClosed))
{
    boost::system::error_code code;
    const auto peer = m_socket.remote_endpoint(code);
    m_peerText = code ? std::string("unknown peer") : peer.address().to_string() + ":" + std::to_string(peer.port());
    // Stop-and-wait traffic: every answer must leave at once.
    m_socket.set_option(boost::asio::ip::tcp::no_delay(true), code);
}

void CSimConnection::start()
{
    readMore();
}

void CSimConnection::resumeReading()
{
    m_readPaused = false;
    if (!m_closing && !m_reading)
    {
        readMore();
    }
}

void CSimConnection::readMore()
{
    m_reading = true;
    m_socket.async_read_some(
        boost::asio::buffer(m_readBuffer),
        [self = shared_from_this()](const boost::system::error_code& code, std::size_t count) {
            self->m_reading = false;
            if (self->m_closing)
            {
                return;
            }
            if (code)
            {
                self->finishClose();
                return;
            }
            S_DeviceSideDecodeResult decoded = self->m_decoder.decode(self->m_readBuffer.data(), count);
            self->m_onDecoded(self->m_generation, count, decoded);
            if (!self->m_closing && !self->m_readPaused && !self->m_reading)
            {
                self->readMore();
            }
        });
}

void CSimConnection::send(std::vector<std::uint8_t> bytes)
{
    if (m_closing || m_closeWhenFlushed || bytes.empty())
    {
        return;
    }
    m_queuedBytes += bytes.size();
    if (m_queuedBytes > MAX_QUEUED_BYTES)
    {
        // A peer that keeps asking but never reads would otherwise grow this queue forever.
        const auto self = shared_from_this();
        finishClose();
        return;
    }
    m_writeQueue.push_back(std::move(bytes));
    if (!m_writing)
    {
        writeNext();
    }
}

void CSimConnection::writeNext()
{
    if (m_writeQueue.empty())
    {
        m_writing = false;
        if (m_closeWhenFlushed)
        {
            closeNow();
            // The device asked for this close; it is not a peer disconnect.
            m_closedReported = true;
        }
        return;
    }
    m_writing = true;
    boost::asio::async_write(m_socket, boost::asio::buffer(m_writeQueue.front()),
                             [self = shared_from_this()](const boost::system::error_code& code, std::size_t) {
                                 if (self->m_closing)
                                 {
                                     return;
                                 }
                                 if (code)
                                 {
                                     self->finishClose();
                                     return;
                                 }
                                 self->m_queuedBytes -= self->m_writeQueue.front().size();
                                 self->m_writeQueue.pop_front();
                                 self->writeNext();
                             });
}

void CSimConnection::closeAfterFlush()
{
    if (m_closing)
    {
        return;
    }
    m_closeWhenFlushed = true;
    if (!m_writing)
    {
        writeNext();
    }
}

void CSimConnection::closeNow()
{
    if (m_closing)
    {
        return;
    }
    m_closing = true;
    m_writeQueue.clear();
    m_queuedBytes = 0;
    boost::system::error_code ignored;
    m_socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
}

void CSimConnection::finishClose()
{
    closeNow();
    if (!m_closedReported)
    {
        m_closedReported = true;
        m_onClosed(m_generation);
    }
}

}  // namespace ota::backend
