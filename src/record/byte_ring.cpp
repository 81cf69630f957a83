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
    if (m_Buffer == nullptr)
        m_Buffer = AllocateStorage(m_Size);
    return m_Buffer != nullptr;
}

bool CVeskByteRing::Resize(size_t size)
{
    const View held = Look();
    if (m_Buffer == nullptr || size == m_Size || held.Held() >= size)
        return false;
    unsigned char* resized = AllocateStorage(size);
    if (resized == nullptr)
        return false;
    held.Peek(resized, held.Held());
    FreeStorage(m_Buffer, m_Size);
    m_Buffer = resized;
    m_Size = size;
    m_ReadPoint.store(0, std::memory_order_relaxed);
    m_WritePoint.store(held.Held(), std::memory_order_release);
    return true;
}

int CVeskByteRing::WritableSpans(iovec spans[2])
{
    const size_t write = m_WritePoint.load(std::memory_order_relaxed);
    const size_t free = Free();
    if (free == 0)
        return 0;
    const size_t first = std::min(free, m_Size - write);
    spans[0].iov_base = m_Buffer + write;
    spans[0].iov_len = first;
    if (first == free)
        return 1;
    spans[1].iov_base = m_Buffer;
    spans[1].iov_len = free - first;
    return 2;
}

void CVeskByteRing::Commit(size_t n)
{
    const size_t write = m_WritePoint.load(std::memory_order_relaxed);
    m_WritePoint.store((write + n) % m_Size, std::memory_order_release);
}

bool CVeskByteRing::Append(const Span* spans, size_t count)
{
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += spans[i].length;
    if (total == 0 || total > Free())
        return total == 0;
    size_t write = m_WritePoint.load(std::memory_order_relaxed);
    for (size_t i = 0; i < count; ++i) {
        const size_t first = std::min(spans[i].length, m_Size - write);
        std::memcpy(m_Buffer + write, spans[i].data, first);
        std::memcpy(m_Buffer, spans[i].data + first, spans[i].length - first);
        write = (write + spans[i].length) % m_Size;
    }
    Commit(total);
    return true;
}

int CVeskByteRing::View::ReadableSpans(size_t offset, size_t n, Span spans[2]) const
{
    if (m_Buffer == nullptr || offset > m_Held || n > m_Held - offset)
        return 0;
    const size_t start = (m_Read + offset) % m_Size;
    const size_t first = std::min(n, m_Size - start);
    spans[0] = {m_Buffer + start, first};
    if (first == n)
        return 1;
    spans[1] = {m_Buffer, n - first};
    return 2;
}

bool CVeskByteRing::View::Peek(unsigned char* out, size_t n, size_t offset) const
{
    Span spans[2];
    const int count = ReadableSpans(offset, n, spans);
    for (int i = 0; i < count; ++i) {
        std::memcpy(out, spans[i].data, spans[i].length);
        out += spans[i].length;
    }
    return count > 0;
}

CVeskByteRing::View CVeskByteRing::Look() const
{
    // Both points are read once: every answer of the view follows from this
    // one pair, whatever the other side does meanwhile.
    const size_t read = m_ReadPoint.load(std::memory_order_acquire);
    const size_t write = m_WritePoint.load(std::memory_order_acquire);
    return View(m_Buffer, m_Size, read, Distance(read, write));
}

bool CVeskByteRing::Consume(size_t n)
{
    const View held = Look();
    if (n > held.Held())
        return false;
    m_ReadPoint.store((held.m_Read + n) % m_Size, std::memory_order_release);
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
    if (m_Buffer != nullptr)
        FreeStorage(m_Buffer, m_Size);
    m_Buffer = nullptr;
    m_Size = kSize;
    m_ReadPoint.store(0, std::memory_order_relaxed);
    m_WritePoint.store(0, std::memory_order_release);
}

}  // namespace VeskNetworkSystem
