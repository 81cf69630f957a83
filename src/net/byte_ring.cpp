// The byte ring: its storage, the producer's spans and appends, the consumer's views and reads.
#include <openssl/crypto.h>
#include <sys/mman.h>

#include <algorithm>
#include <new>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskByteRing::~CVeskByteRing()
{
    Reset();
}

namespace {

// A ring of the default size comes from the heap: every session has two, and
// giving a mapping back costs every core that runs a thread of the process a
// TLB flush. A larger one, which only a busy session has for a while, is
// mapped, so that the kernel takes all of it back when it goes.
bool IsMapped(size_t size)
{
    return size > CVeskByteRing::kSize;
}

unsigned char* AllocateStorage(size_t size)
{
    if (!IsMapped(size))
        return new (std::nothrow) unsigned char[size];
    void* storage = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return storage != MAP_FAILED ? static_cast<unsigned char*>(storage) : nullptr;
}

// Heap storage is wiped first: a ring may have held decrypted payload.
void FreeStorage(unsigned char* storage, size_t size)
{
    if (IsMapped(size)) {
        munmap(storage, size);
        return;
    }
    OPENSSL_cleanse(storage, size);
    delete[] storage;
}

}  // namespace

bool CVeskByteRing::Allocate()
{
    if (m_buffer == nullptr)
        m_buffer = AllocateStorage(m_size);
    return m_buffer != nullptr;
}

bool CVeskByteRing::Resize(size_t size)
{
    const View held = Look();
    if (m_buffer == nullptr || size == m_size || held.Held() >= size)
        return false;
    unsigned char* resized = AllocateStorage(size);
    if (resized == nullptr)
        return false;
    held.Peek(resized, held.Held());
    FreeStorage(m_buffer, m_size);
    m_buffer = resized;
    m_size = size;
    m_read_point.store(0, std::memory_order_relaxed);
    m_write_point.store(held.Held(), std::memory_order_release);
    return true;
}

int CVeskByteRing::WritableSpans(iovec spans[2])
{
    const size_t write = m_write_point.load(std::memory_order_relaxed);
    const size_t free = Free();
    if (free == 0)
        return 0;
    const size_t first = std::min(free, m_size - write);
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
    m_write_point.store((write + n) % m_size, std::memory_order_release);
}

bool CVeskByteRing::Append(const unsigned char* data, size_t n)
{
    if (n == 0 || n > Free())
        return n == 0;
    const size_t write = m_write_point.load(std::memory_order_relaxed);
    const size_t first = std::min(n, m_size - write);
    std::memcpy(m_buffer + write, data, first);
    std::memcpy(m_buffer, data + first, n - first);
    Commit(n);
    return true;
}

bool CVeskByteRing::View::Peek(unsigned char* out, size_t n, size_t offset) const
{
    if (offset > m_held || n > m_held - offset)
        return false;
    if (n == 0)
        return true;
    const size_t start = (m_read + offset) % m_size;
    const size_t first = std::min(n, m_size - start);
    std::memcpy(out, m_buffer + start, first);
    std::memcpy(out + first, m_buffer, n - first);
    return true;
}

const unsigned char* CVeskByteRing::View::Contiguous(size_t offset, size_t n) const
{
    if (m_buffer == nullptr || offset > m_held || n > m_held - offset || n > UnbrokenFrom(offset))
        return nullptr;
    return m_buffer + (m_read + offset) % m_size;
}

CVeskByteRing::View CVeskByteRing::Look() const
{
    // Both points are read once: every answer of the view follows from this
    // one pair, whatever the other side does meanwhile.
    const size_t read = m_read_point.load(std::memory_order_acquire);
    const size_t write = m_write_point.load(std::memory_order_acquire);
    return View(m_buffer, m_size, read, Distance(read, write));
}

bool CVeskByteRing::Consume(size_t n)
{
    const View held = Look();
    if (n > held.Held())
        return false;
    m_read_point.store((held.m_read + n) % m_size, std::memory_order_release);
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
    if (m_buffer != nullptr)
        FreeStorage(m_buffer, m_size);
    m_buffer = nullptr;
    m_size = kSize;
    m_read_point.store(0, std::memory_order_relaxed);
    m_write_point.store(0, std::memory_order_release);
}

}  // namespace VeskNetworkSystem
