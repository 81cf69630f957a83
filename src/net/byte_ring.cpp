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

bool CVeskByteRing::Peek(unsigned char* out, size_t n, size_t offset) const
{
    const size_t read = m_read_point.load(std::memory_order_relaxed);
    if (offset + n > Distance(read, m_write_point.load(std::memory_order_acquire)))
        return false;
    const size_t start = (read + offset) % kSize;
    const size_t first = std::min(n, kSize - start);
    std::memcpy(out, m_buffer + start, first);
    std::memcpy(out + first, m_buffer, n - first);
    return true;
}

const unsigned char* CVeskByteRing::Contiguous(size_t offset, size_t n) const
{
    const size_t read = m_read_point.load(std::memory_order_relaxed);
    if (offset + n > Distance(read, m_write_point.load(std::memory_order_acquire)))
        return nullptr;
    const size_t start = (read + offset) % kSize;
    return start + n <= kSize ? m_buffer + start : nullptr;
}

void CVeskByteRing::Consume(size_t n)
{
    const size_t read = m_read_point.load(std::memory_order_relaxed);
    m_read_point.store((read + n) % kSize, std::memory_order_release);
}

size_t CVeskByteRing::Read(unsigned char* out, size_t n)
{
    const size_t count = std::min(n, Held());
    Peek(out, count);
    Consume(count);
    return count;
}

void CVeskByteRing::Reset()
{
    std::memset(m_buffer, 0, sizeof m_buffer);
    m_read_point.store(0, std::memory_order_relaxed);
    m_write_point.store(0, std::memory_order_release);
}

}  // namespace VeskNetworkSystem
