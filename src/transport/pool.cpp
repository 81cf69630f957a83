// The fixed pools of sessions, listeners and datagram sockets: how an array
// is reserved, built slot by slot on claim, walked, and freed.
//
// The storage is reserved at once but an element is built only when a claim
// finds every built one taken, always the next in order: a slot never used
// costs no resident memory (large storage comes from memory the kernel maps
// on first touch), and releasing the pool visits only the built prefix.
// Threads that walk the array (parse passes, accepts, openers) do so as
// readers; releasing the pool waits for them and for every element to become
// free before it frees the array, or, when called from inside such work,
// leaves the array to be freed with the pool itself.
#include <chrono>
#include <thread>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {
namespace {

// Walks of a pool of this element type under way on the calling thread.
template <class Element>
thread_local int t_reading = 0;

}  // namespace

template <class Element>
CVeskPool<Element>::~CVeskPool()
{
    Release();
    // Released from inside work on them; that work may still be ending.
    for (const Retired& retired : m_Retired)
        FreeWhenQuiescent(retired.array, retired.size, retired.built);
}

template <class Element>
int CVeskPool<Element>::Create(int count, std::function<void(Element&)> setup)
{
    if (count < 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Array != nullptr)
        return 0;
    try {
        m_Array = std::allocator<Element>().allocate(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        m_Array = nullptr;
        return 0;
    }
    m_Setup = std::move(setup);
    m_Size = count;
    m_Built = 0;
    return 1;
}

template <class Element>
void CVeskPool<Element>::Release()
{
    Element* array = nullptr;
    int size = 0;
    int built = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::swap(array, m_Array);
        std::swap(size, m_Size);
        std::swap(built, m_Built);
    }
    if (array == nullptr)
        return;
    // Released first, so that work blocked on an element ends; again once no
    // reader is left, for elements claimed meanwhile.
    ReleaseElements(array, built);
    if (CVeskPoolElement::CallerHoldsReferences() || t_reading < Element >> 0) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Retired.push_back(Retired{array, size, built});
        return;
    }
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_NoReaders.wait(lock, [this] { return m_Readers == 0; });
    }
    ReleaseElements(array, built);
    FreeWhenQuiescent(array, size, built);
}

template <class Element>
Element* CVeskPool<Element>::Claim()
{
    Reader reader(*this);
    for (int from = 0;;) {
        for (int i = from; i < reader.built; ++i)
            if (reader.array[i].TryClaim())
                return &reader.array[i];
        // Every built element was taken: build the next one. One built
        // meanwhile by another claimer is tried first.
        from = reader.built;
        reader.built = BuildNext(reader.array, reader.built);
        if (reader.built == from)
            return nullptr;
    }
}

template <class Element>
bool CVeskPool<Element>::HasFree()
{
    const Reader reader(*this);
    if (reader.built < reader.size)
        return true;
    for (int i = 0; i < reader.built; ++i)
        if (reader.array[i].IsFree())
            return true;
    return false;
}

template <class Element>
Element* CVeskPool<Element>::Find(SOCKET s)
{
    const Reader reader(*this);
    for (int i = 0; i < reader.built; ++i)
        if (reader.array[i].IsUsed() && reader.array[i].GetSocket() == s)
            return &reader.array[i];
    return nullptr;
}

template <class Element>
Element& CVeskPool<Element>::operator[](int index)
{
    const Reader reader(*this);
    for (int built = reader.built; built <= index;)
        built = BuildNext(reader.array, built);
    return reader.array[index];
}

template <class Element>
CVeskPool<Element>::Reader::Reader(CVeskPool& pool) : owner(pool)
{
    std::lock_guard<std::mutex> lock(owner.m_Mutex);
    array = owner.m_Array;
    size = owner.m_Size;
    built = owner.m_Built;
    ++owner.m_Readers;
    ++t_reading<Element>;
}

template <class Element>
CVeskPool<Element>::Reader::~Reader()
{
    --t_reading<Element>;
    std::lock_guard<std::mutex> lock(owner.m_Mutex);
    if (--owner.m_Readers == 0)
        owner.m_NoReaders.notify_all();
}

template <class Element>
int CVeskPool<Element>::BuildNext(Element* array, int seen)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (array != m_Array)
        return seen;
    if (m_Built == seen && m_Built < m_Size) {
        try {
            m_Setup(*new (&m_Array[m_Built]) Element());
        } catch (const std::bad_alloc&) {
            return m_Built;
        }
        ++m_Built;
    }
    return m_Built;
}

template <class Element>
void CVeskPool<Element>::ReleaseElements(Element* array, int built)
{
    for (int i = 0; i < built; ++i)
        if (array[i].IsUsed())
            array[i].SetUsed(false);
}

template <class Element>
void CVeskPool<Element>::FreeWhenQuiescent(Element* array, int size, int built)
{
    for (int i = 0; i < built; ++i)
        while (!array[i].IsQuiescent())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = built; i-- > 0;)
        array[i].~Element();
    std::allocator<Element>().deallocate(array, static_cast<size_t>(size));
}

template class CVeskPool<CVeskNetworkSession>;
template class CVeskPool<CVeskNetworkSessionListen>;
template class CVeskPool<CVeskNetworkUDPSession>;

}  // namespace VeskNetworkSystem
