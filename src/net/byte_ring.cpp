#include "VeskNetworkSystem.h"

#include <algorithm>

namespace VeskNetworkSystem {

int CVeskByteRing::WritableSpans(iovec spans[2])
{
    const size_t write = m_write_point.load(std::memory_order_relaxed);
    const size_t free = kUsable - Distance(m_read_point.load(std::memory_order_acquire), write);
    if (free == 0)
        return 0;
    const size_t first = std::min(free, kSize - write);
    spans[0].iov_base = m_buffer + write;
    spans[0].iov_len = first;
    if (first == free)
        return 1;
    spans[1].iov_base = m_buffer;
    spans[1].iov_len = free - first;
    return 2;
}

void CVeskByteRing::Commit(size_t n)
{
    const size_t write = m_write_point.load(std::memory_order_relaxed);
    m_write_point.store((write + n) % kSize, std::memory_order_release);
}

bool CVeskByteRing::Append(const unsigned char* data, size_t n)
{
    if (n > Free())
        return false;
    const size_t write = m_write_point.load(std::memory_order_relaxed);
    const size_t first = std::min(n, kSize - write);
    std::memcpy(m_buffer + write, data, first);
    std::memcpy(m_buffer, data + first, n - first);
    Commit(n);
    return true;
}

bool CVeskByteRing::View::Peek(unsigned char* out, size_t n, size_t offset) const
{
    if (offset > m_held || n > m_held - offset)
        return false;
    const size_t start = (m_read + offset) % kSize;
    const size_t first = std::min(n, kSize - start);
    std::memcpy(out, m_buffer + start, first);
    std::memcpy(out + first, m_buffer, n - first);
    return true;
}

const unsigned char* CVeskByteRing::View::Contiguous(size_t offset, size_t n) const
{
    if (offset > m_held || n > m_held - offset || n > UnbrokenFrom(offset))
        return nullptr;
    return m_buffer + (m_read + offset) % kSize;
}

CVeskByteRing::View CVeskByteRing::Look() const
{
    // Both points are read once: every answer of the view follows from this
    // one pair, whatever the other side does meanwhile.
    const size_t read = m_read_point.load(std::memory_order_acquire);
    const size_t write = m_write_point.load(std::memory_order_acquire);
    return View(m_buffer, read, Distance(read, write));
}

bool CVeskByteRing::Consume(size_t n)
{
    const View held = Look();
    if (n > held.Held())
        return false;
    m_read_point.store((held.m_read + n) % kSize, std::memory_order_release);
    return true;
}

size_t CVeskByteRing::Read(unsigned char* out, size_t n)
{
    const View held = Look();
    const size_t count = std::min(n, held.Held());
    if (!held.Peek(out, count) || !Consume(count))
        return 0;
    return count;
}

void CVeskByteRing::Reset()
{
    std::memset(m_buffer, 0, sizeof m_buffer);
    m_read_point.store(0, std::memory_order_relaxed);
    m_write_point.store(0, std::memory_order_release);
}

}  // namespace VeskNetworkSystem
