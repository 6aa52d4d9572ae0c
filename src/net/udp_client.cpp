#include "net/udp_client.h"

#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include "config/run_log.h"

namespace {

// Storage for the one receive operation of a Receive call. The operation is created and
// destroyed within the call, so the storage lives on the caller's stack and an exchange costs
// no heap allocation.
class CReceiveOpMemory {
 public:
  void* Allocate(size_t unSize) {
    if (!m_bInUse && unSize <= sizeof(m_arrStorage)) {
      m_bInUse = true;
      return m_arrStorage;
    }
    return ::operator new(unSize);  // never expected; stays correct if Asio's op grows
  }
  void Deallocate(void* p) {
    if (p == m_arrStorage) {
      m_bInUse = false;
    } else {
      ::operator delete(p);
    }
  }

 private:
  alignas(std::max_align_t) unsigned char m_arrStorage[512];
  bool m_bInUse = false;
};

template <typename T>
class CReceiveOpAllocator {
 public:
  using value_type = T;
  explicit CReceiveOpAllocator(CReceiveOpMemory& memory) : m_pMemory(&memory) {}
  template <typename U>
  CReceiveOpAllocator(const CReceiveOpAllocator<U>& other) : m_pMemory(other.m_pMemory) {}
  T* allocate(size_t n) { return static_cast<T*>(m_pMemory->Allocate(sizeof(T) * n)); }
  void deallocate(T* p, size_t /*n*/) { m_pMemory->Deallocate(p); }
  bool operator==(const CReceiveOpAllocator& other) const { return m_pMemory == other.m_pMemory; }
  bool operator!=(const CReceiveOpAllocator& other) const { return m_pMemory != other.m_pMemory; }

  CReceiveOpMemory* m_pMemory;  // not owned
};

// Completion of the receive: stores the outcome where Receive reads it.
class CReceiveHandler {
 public:
  using allocator_type = CReceiveOpAllocator<CReceiveHandler>;
  CReceiveHandler(CReceiveOpMemory& memory, boost::system::error_code& ec, size_t& unCount,
                  size_t unCapacity)
      : m_pMemory(&memory), m_pEc(&ec), m_pCount(&unCount), m_unCapacity(unCapacity) {}
  allocator_type get_allocator() const { return allocator_type(*m_pMemory); }

  void operator()(const boost::system::error_code& result, size_t unBytes) const {
    *m_pEc = result;
    *m_pCount = unBytes;
    // A datagram longer than the buffer is delivered cut to the buffer. Some platforms flag
    // that as an error; the bytes are there all the same, so it counts as a full buffer.
    if (result == boost::asio::error::message_size) {
      *m_pEc = boost::system::error_code();
      *m_pCount = m_unCapacity;
    }
  }

 private:
  CReceiveOpMemory* m_pMemory;
  boost::system::error_code* m_pEc;
  size_t* m_pCount;
  size_t m_unCapacity;
};

}  // namespace

CUdpClient::CUdpClient(const boost::asio::ip::udp::endpoint& local) : m_socket(m_ioContext) {
  // The throwing forms name the failed step ("open: ...", "bind: ..."), which is what the owner
  // reports when the channel cannot be made.
  m_socket.open(local.protocol());
  m_socket.bind(local);
}

CUdpClient::~CUdpClient() {
  boost::system::error_code ec;
  m_socket.close(ec);  // nothing useful to do with a close error at shutdown
}

int32_t CUdpClient::SendData(const char* szAddress, int32_t nPort, const uint8_t* pData,
                             size_t unLength) {
  if (szAddress == nullptr) {
    return 0;
  }
  boost::system::error_code ec;
  boost::asio::ip::address address = boost::asio::ip::make_address(szAddress, ec);
  size_t unSent = 0;
  if (!ec) {
    boost::asio::ip::udp::endpoint peer(address, static_cast<uint16_t>(nPort & 0xFFFF));
    unSent = m_socket.send_to(boost::asio::buffer(pData, unLength), peer, 0, ec);
  }
  if (ec) {
    std::string strText = ec.message();
    std::fprintf(stderr, "Exception: %s\n", strText.c_str());
    WriteLogF("FUNCTION %s  LINE %d %s:%d Exception in thread:%s!", "SendData", __LINE__, szAddress,
              nPort, strText.c_str());
    return 0;
  }
  return static_cast<int32_t>(unSent);
}

size_t CUdpClient::Receive(uint8_t* pBuffer, size_t unCapacity,
                           std::chrono::steady_clock::duration timeout,
                           boost::system::error_code& ec,
                           boost::asio::ip::udp::endpoint* pSender) {
  size_t unCount = 0;
  boost::asio::ip::udp::endpoint sender;
  CReceiveOpMemory memory;
  m_socket.async_receive_from(boost::asio::buffer(pBuffer, unCapacity), sender,
                              CReceiveHandler(memory, ec, unCount, unCapacity));
  m_ioContext.restart();
  m_ioContext.run_for(timeout);
  if (!m_ioContext.stopped()) {
    // The deadline passed with the receive still pending: cancel it and let its handler run, so
    // that nothing refers to this call's locals afterwards.
    m_socket.cancel();
    m_ioContext.run();
  }
  if (pSender != nullptr) {
    *pSender = sender;
  }
  return unCount;
}

size_t CUdpClient::Drain() {
  boost::system::error_code ec;
  m_socket.non_blocking(true, ec);
  if (ec) {
    return 0;
  }
  size_t unDropped = 0;
  uint8_t arrDiscard[256];
  for (;;) {
    boost::asio::ip::udp::endpoint sender;
    (void)m_socket.receive_from(boost::asio::buffer(arrDiscard), sender, 0, ec);
    // A datagram longer than the buffer is gone whole all the same.
    if (ec && ec != boost::asio::error::message_size) {
      break;  // would block: nothing more queued (or the socket failed, which Receive reports)
    }
    ++unDropped;
  }
  m_socket.non_blocking(false, ec);
  return unDropped;
}

uint16_t CUdpClient::LocalPort() const {
  boost::system::error_code ec;
  boost::asio::ip::udp::endpoint local = m_socket.local_endpoint(ec);
  return ec ? 0 : local.port();
}
