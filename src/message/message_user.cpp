// Users: one user's id and password, and the user table with its index by id.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

CVeskMessageUser::CVeskMessageUser() : m_uid{}, m_passwd{} {}

CVeskMessageUser::CVeskMessageUser(const CVeskMessageUser& rVeskMessageUser)
    : CVeskMessageUserAbstract(rVeskMessageUser), m_uid{}, m_passwd{}
{
    set_uid(rVeskMessageUser.get_uid(), rVeskMessageUser.get_uid_size());
    set_passwd(rVeskMessageUser.get_passwd(), rVeskMessageUser.get_passwd_size());
}

CVeskMessageUser& CVeskMessageUser::operator=(const CVeskMessageUser& rVeskMessageUser)
{
    // Copying a field onto itself would be an overlapping copy.
    if (this == &rVeskMessageUser)
        return *this;
    set_uid(rVeskMessageUser.get_uid(), rVeskMessageUser.get_uid_size());
    set_passwd(rVeskMessageUser.get_passwd(), rVeskMessageUser.get_passwd_size());
    return *this;
}

CVeskMessageUser::~CVeskMessageUser() = default;

LPCTSTR CVeskMessageUser::get_uid() const
{
    return m_uid;
}

size_t CVeskMessageUser::get_uid_size() const
{
    return _tcscnlen(m_uid, kTextCapacity);
}

void CVeskMessageUser::set_uid(LPCTSTR uid, size_t size)
{
    if (uid != nullptr)
        _tcsncpy_s(m_uid, kTextCapacity, uid, size);
}

LPCTSTR CVeskMessageUser::get_passwd() const
{
    return m_passwd;
}

size_t CVeskMessageUser::get_passwd_size() const
{
    return _tcscnlen(m_passwd, kTextCapacity);
}

void CVeskMessageUser::set_passwd(LPCTSTR passwd, size_t size)
{
    if (passwd != nullptr)
        _tcsncpy_s(m_passwd, kTextCapacity, passwd, size);
}

namespace {

constexpr size_t kTextCapacity = CVeskMessageUser::kTextCapacity;

// True when the user's id and the NUL-terminated key are the same text. An id
// that fills its whole field has no NUL, so the comparison stays within the
// field instead of running on into the neighbouring bytes.
bool HasUid(const CVeskMessageUser& user, LPCTSTR uid)
{
    const size_t length = user.get_uid_size();
    return std::strncmp(user.get_uid(), uid, length) == 0 && uid[length] == '\0';
}

size_t UidHash(LPCTSTR uid, size_t length)
{
    return std::hash<std::string_view>{}(std::string_view(uid, length));
}

std::vector<std::unique_ptr<CVeskMessageUser>> CopyEntries(
    const std::vector<std::unique_ptr<CVeskMessageUser>>& entries)
{
    std::vector<std::unique_ptr<CVeskMessageUser>> copies;
    copies.reserve(entries.size());
    for (const auto& entry : entries)
        copies.push_back(std::make_unique<CVeskMessageUser>(*entry));
    return copies;
}

}  // namespace

CVeskMessageUserManager::CVeskMessageUserManager() = default;

CVeskMessageUserManager::CVeskMessageUserManager(const CVeskMessageUserManager& rVeskMessageUserManager)
    : CVeskMessageUserManagerAbstract(rVeskMessageUserManager)
{
    std::lock_guard<std::mutex> lock(rVeskMessageUserManager.m_Mutex);
    m_VeskMessageUserArray = CopyEntries(rVeskMessageUserManager.m_VeskMessageUserArray);
    reindex_locked();
}

CVeskMessageUserManager& CVeskMessageUserManager::operator=(const CVeskMessageUserManager& rVeskMessageUserManager)
{
    if (this == &rVeskMessageUserManager)
        return *this;
    std::scoped_lock lock(m_Mutex, rVeskMessageUserManager.m_Mutex);
    m_VeskMessageUserArray = CopyEntries(rVeskMessageUserManager.m_VeskMessageUserArray);
    reindex_locked();
    return *this;
}

CVeskMessageUserManager::~CVeskMessageUserManager() = default;

CVeskMessageUser* CVeskMessageUserManager::find_locked(LPCTSTR uid) const
{
    if (uid == nullptr)
        return nullptr;
    const size_t length = strnlen(uid, kTextCapacity + 1);
    if (length > kTextCapacity)
        return nullptr;
    const auto [first, last] = m_FirstEntryByUid.equal_range(UidHash(uid, length));
    for (auto candidate = first; candidate != last; ++candidate)
        if (HasUid(*candidate->second, uid))
            return candidate->second;
    return nullptr;
}

void CVeskMessageUserManager::append_locked(const CVeskMessageUser& user)
{
    auto entry = std::make_unique<CVeskMessageUser>(user);
    // A later entry of an id already present is kept but never found first.
    if (find_locked(entry->get_uid()) == nullptr)
        m_FirstEntryByUid.emplace(UidHash(entry->get_uid(), entry->get_uid_size()), entry.get());
    m_VeskMessageUserArray.push_back(std::move(entry));
}

void CVeskMessageUserManager::reindex_locked()
{
    m_FirstEntryByUid.clear();
    for (const auto& entry : m_VeskMessageUserArray)
        if (find_locked(entry->get_uid()) == nullptr)
            m_FirstEntryByUid.emplace(UidHash(entry->get_uid(), entry->get_uid_size()), entry.get());
}

int CVeskMessageUserManager::add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size)
{
    CVeskMessageUser user;
    user.set_uid(uid, uid_size);
    user.set_passwd(passwd, passwd_size);
    std::lock_guard<std::mutex> lock(m_Mutex);
    append_locked(user);
    return 1;
}

CVeskMessageUser* CVeskMessageUserManager::keep_login(LPCTSTR uid, LPCTSTR passwd)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    CVeskMessageUser* entry = find_locked(uid);
    if (entry == nullptr) {
        CVeskMessageUser user;
        user.set_uid(uid, kTextCapacity);
        user.set_passwd(passwd, kTextCapacity);
        append_locked(user);
        return m_VeskMessageUserArray.back().get();
    }
    if (std::strncmp(entry->get_passwd(), passwd, kTextCapacity) != 0)
        entry->set_passwd(passwd, kTextCapacity);
    return entry;
}

void CVeskMessageUserManager::swap_users(CVeskMessageUserManager& other)
{
    std::scoped_lock lock(m_Mutex, other.m_Mutex);
    m_VeskMessageUserArray.swap(other.m_VeskMessageUserArray);
    m_FirstEntryByUid.swap(other.m_FirstEntryByUid);
}

// Deleting is the rare change: the entries behind move up and the index is
// made again.
int CVeskMessageUserManager::delete_user(LPCTSTR uid, size_t /*uid_size*/)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const CVeskMessageUser* found = find_locked(uid);
    if (found == nullptr)
        return 0;
    m_VeskMessageUserArray.erase(
        std::find_if(m_VeskMessageUserArray.begin(), m_VeskMessageUserArray.end(),
                     [found](const std::unique_ptr<CVeskMessageUser>& entry) { return entry.get() == found; }));
    reindex_locked();
    return 1;
}

int CVeskMessageUserManager::delete_alluser()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_FirstEntryByUid.clear();
    m_VeskMessageUserArray.clear();
    return 1;
}

CVeskMessageUser CVeskMessageUserManager::reference_user(LPCTSTR uid, size_t /*uid_size*/) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const CVeskMessageUser* found = find_locked(uid);
    return found != nullptr ? *found : CVeskMessageUser();
}

bool CVeskMessageUserManager::find_user(LPCTSTR uid, CVeskMessageUser* out) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const CVeskMessageUser* found = find_locked(uid);
    if (found == nullptr)
        return false;
    *out = *found;
    return true;
}

CVeskMessageUser* CVeskMessageUserManager::get_user(LPCTSTR uid, size_t /*uid_size*/)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return find_locked(uid);
}

const CVeskMessageUser* CVeskMessageUserManager::get_user(LPCTSTR uid, size_t /*uid_size*/) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return find_locked(uid);
}

}  // namespace VeskMessageSystem
