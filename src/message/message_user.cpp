#include <algorithm>
#include <cstring>

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

// True when the user's id and the NUL-terminated key are the same text. An id
// that fills its whole field has no NUL, so the comparison stays within the
// field instead of running on into the neighbouring bytes.
bool HasUid(const CVeskMessageUser& user, LPCTSTR uid)
{
    if (uid == nullptr)
        return false;
    const size_t length = user.get_uid_size();
    return std::strncmp(user.get_uid(), uid, length) == 0 && uid[length] == '\0';
}

template <class Users>
auto FindUser(Users& users, LPCTSTR uid)
{
    return std::find_if(users.begin(), users.end(), [uid](const CVeskMessageUser& user) { return HasUid(user, uid); });
}

}  // namespace

CVeskMessageUserManager::CVeskMessageUserManager() = default;

CVeskMessageUserManager::CVeskMessageUserManager(const CVeskMessageUserManager& rVeskMessageUserManager)
    : CVeskMessageUserManagerAbstract(rVeskMessageUserManager)
{
    std::lock_guard<std::mutex> lock(rVeskMessageUserManager.m_Mutex);
    m_VeskMessageUserArray = rVeskMessageUserManager.m_VeskMessageUserArray;
}

CVeskMessageUserManager& CVeskMessageUserManager::operator=(const CVeskMessageUserManager& rVeskMessageUserManager)
{
    if (this == &rVeskMessageUserManager)
        return *this;
    std::scoped_lock lock(m_Mutex, rVeskMessageUserManager.m_Mutex);
    m_VeskMessageUserArray = rVeskMessageUserManager.m_VeskMessageUserArray;
    return *this;
}

CVeskMessageUserManager::~CVeskMessageUserManager() = default;

int CVeskMessageUserManager::add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size)
{
    CVeskMessageUser user;
    user.set_uid(uid, uid_size);
    user.set_passwd(passwd, passwd_size);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_VeskMessageUserArray.push_back(user);
    return 1;
}

int CVeskMessageUserManager::delete_user(LPCTSTR uid, size_t /*uid_size*/)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = FindUser(m_VeskMessageUserArray, uid);
    if (found == m_VeskMessageUserArray.end())
        return 0;
    m_VeskMessageUserArray.erase(found);
    return 1;
}

int CVeskMessageUserManager::delete_alluser()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_VeskMessageUserArray.clear();
    return 1;
}

CVeskMessageUser CVeskMessageUserManager::reference_user(LPCTSTR uid, size_t /*uid_size*/) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = FindUser(m_VeskMessageUserArray, uid);
    return found != m_VeskMessageUserArray.end() ? *found : CVeskMessageUser();
}

bool CVeskMessageUserManager::find_user(LPCTSTR uid, CVeskMessageUser* out) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = FindUser(m_VeskMessageUserArray, uid);
    if (found == m_VeskMessageUserArray.end())
        return false;
    *out = *found;
    return true;
}

// The pointer stays valid until the list next changes.
CVeskMessageUser* CVeskMessageUserManager::get_user(LPCTSTR uid, size_t /*uid_size*/)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = FindUser(m_VeskMessageUserArray, uid);
    return found != m_VeskMessageUserArray.end() ? &*found : nullptr;
}

const CVeskMessageUser* CVeskMessageUserManager::get_user(LPCTSTR uid, size_t /*uid_size*/) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = FindUser(m_VeskMessageUserArray, uid);
    return found != m_VeskMessageUserArray.end() ? &*found : nullptr;
}

}  // namespace VeskMessageSystem
