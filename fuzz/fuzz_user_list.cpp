// The user-list loader: the input is the content of the file.
#include <sys/mman.h>

#include <cctype>
#include <sstream>

#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;

// The number of white-space separated tokens: a file with an odd number is
// refused, and no load can yield more users than there are pairs of them.
size_t CountTokens(const uint8_t* data, size_t size)
{
    std::istringstream text(std::string(data, data + size));
    return static_cast<size_t>(std::distance(std::istream_iterator<std::string>(text), {}));
}

bool HasSpace(const char* text, size_t length)
{
    return std::any_of(text, text + length, [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The file lives in memory; the loader opens it by name like any other.
    const int fd = memfd_create("vesk-user-list", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    VESK_FUZZ_CHECK(::write(fd, data, size) == static_cast<ssize_t>(size));  // a memory file takes it whole
    static CVeskMessageSystem& system = *VeskMessageSystemCreate();
    const CVeskMessageUserManager& users = Access::AuthUsers(system);
    const size_t tokens = CountTokens(data, size);
    const bool loaded = system.load_auth_user_list(("/proc/self/fd/" + std::to_string(fd)).c_str()) == 1;
    ::close(fd);
    VESK_FUZZ_CHECK(loaded == (tokens % 2 == 0));
    if (!loaded)
        return 0;

    VESK_FUZZ_CHECK(Access::Users(users).size() <= tokens / 2);
    for (const auto& user : Access::Users(users)) {
        // Stored texts are terminated within their fields and hold no white space.
        VESK_FUZZ_CHECK(user->get_uid_size() < CVeskMessageUser::kTextCapacity &&
                        user->get_passwd_size() < CVeskMessageUser::kTextCapacity);
        VESK_FUZZ_CHECK(std::strlen(user->get_uid()) == user->get_uid_size());
        VESK_FUZZ_CHECK(!HasSpace(user->get_uid(), user->get_uid_size()));
        VESK_FUZZ_CHECK(!HasSpace(user->get_passwd(), user->get_passwd_size()));
        // The first user with an id is the one a login finds.
        CVeskMessageUser found;
        VESK_FUZZ_CHECK(users.find_user(user->get_uid(), &found));
    }
    return 0;
}
