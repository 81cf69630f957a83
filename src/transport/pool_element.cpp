// The life of a pool element and of the handles that name one life; the service name an element keeps.
#include <sys/socket.h>
#include <unistd.h>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {
namespace {

// The life word: the state in the top byte, the references below it.
enum : uint32_t { kFree = 0, kClaimed = 1, kInUse = 2, kReleasing = 3 };
constexpr uint32_t kReferenceMask = 0x00FFFFFFu;

constexpr uint32_t StateOf(uint32_t life)
{
    return life >> 24;
}
constexpr uint32_t ReferencesOf(uint32_t life)
{
    return life & kReferenceMask;
}
constexpr uint32_t Life(uint32_t state, uint32_t references)
{
    return state << 24 | references;
}

// References that belong to the state itself: "in use" holds one, a claim
// holds one for being used and one for the opener.
constexpr uint32_t OwnReferences(uint32_t state)
{
    return state == kInUse ? 1 : state == kClaimed ? 2 : 0;
}

bool OthersInside(uint32_t life)
{
    return ReferencesOf(life) > OwnReferences(StateOf(life));
}

thread_local int t_references_held = 0;

}  // namespace

CVeskElementLifeRef::CVeskElementLifeRef(const CVeskPoolElement* element)
    : m_Lives(element != nullptr ? element->m_Lives : nullptr), m_Number(m_Lives ? m_Lives->Current() : 0)
{
}

bool CVeskElementLifeRef::Enter(CVeskPoolElement* element, bool claimed_too) const
{
    if (element == nullptr || !m_Lives)
        return false;
    std::lock_guard<std::mutex> lock(m_Lives->m_Mutex);
    return IsCurrent() && element->TryEnterWhile(claimed_too);
}

// The reason is reset only after the number has moved on to the next life:
// a reason read here that belongs to a later life shows in the number read
// after it.
int CVeskElementLifeRef::EndReason() const
{
    if (!m_Lives || (m_Number & 1) == 0 || m_Lives->Current() > m_Number + 1)
        return 0;
    const int reason = m_Lives->m_EndReason.load(std::memory_order_acquire);
    return m_Lives->Current() > m_Number + 1 ? 0 : reason;
}

// Each element has its own block of lives, made once with the element, so
// that handles never share a reference count across sessions.
CVeskPoolElement::CVeskPoolElement()
    : m_Lives(std::make_shared<CVeskElementLives>()),
      m_Life(Life(kFree, 0)),
      m_ThreadsLeaving(0),
      m_Socket(-1),
      m_RetiredSocket(-1)
{
}

bool CVeskPoolElement::IsUsed() const
{
    const uint32_t state = StateOf(m_Life.load(std::memory_order_seq_cst));
    return state == kClaimed || state == kInUse;
}

bool CVeskPoolElement::IsFree() const
{
    return StateOf(m_Life.load(std::memory_order_acquire)) == kFree;
}

bool CVeskPoolElement::IsQuiescent() const
{
    return IsFree() && m_ThreadsLeaving.load() == 0;
}

bool CVeskPoolElement::CallerHoldsReferences()
{
    return t_references_held > 0;
}

bool CVeskPoolElement::TryClaim()
{
    uint32_t expected = Life(kFree, 0);
    if (!m_Life.compare_exchange_strong(expected, Life(kClaimed, 2), std::memory_order_seq_cst))
        return false;
    // A new life begins. No handle can name it before this, so the number
    // needs no lock here.
    m_Lives->m_Number.fetch_add(1, std::memory_order_acq_rel);
    m_Lives->m_EndReason.store(0, std::memory_order_release);
    return true;
}

bool CVeskPoolElement::NoteLifeEndReason(int reason)
{
    int none = 0;
    return m_Lives->m_EndReason.compare_exchange_strong(none, reason, std::memory_order_acq_rel);
}

bool CVeskPoolElement::Publish()
{
    uint32_t life = m_Life.load(std::memory_order_acquire);
    while (StateOf(life) == kClaimed) {
        if (m_Life.compare_exchange_weak(life, Life(kInUse, ReferencesOf(life) - 1), std::memory_order_seq_cst))
            return true;
    }
    DropReference();
    return false;
}

bool CVeskPoolElement::TryEnter()
{
    return TryEnterWhile(false);
}

bool CVeskPoolElement::TryEnterWhile(bool claimed_too)
{
    uint32_t life = m_Life.load(std::memory_order_acquire);
    while (StateOf(life) == kInUse || (claimed_too && StateOf(life) == kClaimed)) {
        if (m_Life.compare_exchange_weak(life, life + 1, std::memory_order_seq_cst)) {
            ++t_references_held;
            return true;
        }
    }
    return false;
}

void CVeskPoolElement::Leave()
{
    --t_references_held;
    DropReference();
}

void CopyServiceName(char (&field)[32], const char* service)
{
    if (service == nullptr)
        return;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, service, strnlen(service, sizeof field - 1));
}

void CVeskPoolElement::StoreUsed(bool used)
{
    if (!used) {
        Release();
        return;
    }
    if (IsFree())
        TryClaim();
    Publish();
}

void CVeskPoolElement::AbandonClaim()
{
    Release();
    // The opener's own reference; Publish drops it once the element is released.
    Publish();
}

uint32_t CVeskPoolElement::EndLife()
{
    // Under the lives' lock, so that a handle that has found its life
    // current enters an element that is still claimed or in use.
    std::lock_guard<std::mutex> lock(m_Lives->m_Mutex);
    uint32_t life = m_Life.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t state = StateOf(life);
        if (state == kReleasing || state == kFree)
            return state;
        if (m_Life.compare_exchange_weak(life, Life(kReleasing, ReferencesOf(life)), std::memory_order_seq_cst)) {
            m_Lives->m_Number.fetch_add(1, std::memory_order_acq_rel);
            return state;
        }
    }
}

void CVeskPoolElement::Release()
{
    const uint32_t state = EndLife();
    if (state == kReleasing)
        return;
    if (state == kFree) {
        // Nobody can be inside a free element: clear what a test or a
        // half-built opener may have left.
        CloseSocket();
        ClearContents();
        return;
    }
    CloseSocket();
    DropReference();
}

void CVeskPoolElement::CloseSocket()
{
    const SOCKET s = m_Socket.exchange(-1);
    if (s < 0)
        return;
    // Blocked reads and sends on other threads end now; the peer sees the close.
    shutdown(s, SHUT_RDWR);
    DisarmEvents();
    if (!OthersInside(m_Life.load())) {
        ::close(s);
        return;
    }
    const SOCKET older = m_RetiredSocket.exchange(s);
    if (older >= 0)
        ::close(older);
    // The last thread inside may have left before the descriptor was retired.
    if (!OthersInside(m_Life.load()))
        CloseRetiredSocket();
}

void CVeskPoolElement::CloseRetiredSocket()
{
    const SOCKET s = m_RetiredSocket.exchange(-1);
    if (s >= 0)
        ::close(s);
}

void CVeskPoolElement::DropReference()
{
    // Once the count is down, a pool release may see the element free before
    // this thread's last touch of it: counted as leaving, it is not freed.
    m_ThreadsLeaving.fetch_add(1);
    const uint32_t before = m_Life.fetch_sub(1);
    const uint32_t after = before - 1;
    if (ReferencesOf(after) != 0) {
        if (!OthersInside(after))
            CloseRetiredSocket();
        m_ThreadsLeaving.fetch_sub(1);
        return;
    }
    // The last reference of a released element: nobody is inside any more.
    // Until AfterFreed has run the element is free to claim but its memory
    // is still in use here, so this thread counts as leaving until then. A
    // count, not a flag: the next life may end, on another thread, before
    // this one has finished, and that thread must not clear what this one set.
    CloseRetiredSocket();
    ClearContents();
    m_Life.store(Life(kFree, 0));
    AfterFreed();
    m_ThreadsLeaving.fetch_sub(1);
}

}  // namespace VeskNetworkSystem
