// Users: the text functions their fields and address texts are made with,
// one user's fields, the user lists, and the list of accounts loaded from a
// file for authentication.
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <memory>
#include <utility>

#include "VeskMessageSystem.h"
#include "message/text_functions.h"
#include "test_support.h"

using VeskMessageSystem::addr2str;
using VeskMessageSystem::CVeskMessageSystem;
using VeskMessageSystem::CVeskMessageUser;
using VeskMessageSystem::CVeskMessageUserManager;

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The list loaded for authentication shows only in logins; its entries are
// read here directly.
struct VeskNetworkTestAccess {
    static Pairs AuthEntries(const CVeskMessageSystem& system)
    {
        Pairs entries;
        for (const auto& user : system.m_mum_auth.m_VeskMessageUserArray)
            entries.emplace_back(std::string(user->get_uid(), user->get_uid_size()),
                                 std::string(user->get_passwd(), user->get_passwd_size()));
        return entries;
    }
};

namespace {

using vesk_test::TempFile;

constexpr size_t kField = CVeskMessageUser::kTextCapacity;

struct Texts {
    char host[1025];
    char serv[32];
};

Texts Convert(const void* address, socklen_t length)
{
    Texts texts{};
    addr2str(static_cast<const sockaddr*>(address), length, texts.host, sizeof texts.host, texts.serv,
             sizeof texts.serv);
    return texts;
}

}  // namespace

TEST(TextFunctions, CompareCopyAndLengthStayWithinTheirFields)
{
    EXPECT_EQ(_tcscmp("alice", "alice"), 0);
    EXPECT_LT(_tcscmp("alice", "alicea"), 0);
    EXPECT_GT(_tcscmp("Alice", "ALICE"), 0);
    EXPECT_GT(_tcscmp("\x80", "a"), 0) << "bytes compare as unsigned";

    // A field with one byte beyond it, which no copy may touch.
    char field[kField + 1];
    std::memset(field, 'x', sizeof field);
    EXPECT_EQ(_tcsncpy_s(field, kField, "abc", 1), field);
    EXPECT_EQ(std::string(field, sizeof field), "abc" + std::string(kField - 3, '\0') + "x")
        << "the count is ignored; the rest of the field is NUL";
    _tcsncpy_s(field, kField, std::string(300, 'q').c_str(), 300);
    EXPECT_EQ(std::string(field, sizeof field), std::string(kField, 'q') + "x")
        << "a long source fills the field without NUL and stops at its end";

    EXPECT_EQ(_tcscnlen("abc", kField), 3u);
    EXPECT_EQ(_tcscnlen("", kField), 0u);
    EXPECT_EQ(_tcscnlen("abc", 0), 0u);
    // Exactly the maximum is readable: the sanitizer build catches a read past it.
    const auto full = std::make_unique<char[]>(kField);
    std::memset(full.get(), 'z', kField);
    EXPECT_EQ(_tcscnlen(full.get(), kField), kField);
}

// Each address is copied into a heap block of exactly `length` bytes, so the
// sanitizer build reports any read beyond it. Numeric texts for IPv4 and IPv6
// (a longer length than the family needs is fine); "unknown" for other
// families and for lengths shorter than the family's structure. Null
// arguments write nothing; small buffers get "unknown" cut short (the
// sanitizer build catches a write past either).
TEST(AddressText, NumericForIPFamiliesUnknownOtherwiseAndNeverOverread)
{
    sockaddr_storage v4{};
    sockaddr_storage v6{};
    sockaddr_storage local{};
    sockaddr_storage empty{};
    auto* in4 = reinterpret_cast<sockaddr_in*>(&v4);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(8080);
    inet_pton(AF_INET, "192.0.2.7", &in4->sin_addr);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&v6);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(443);
    inet_pton(AF_INET6, "2001:db8::1", &in6->sin6_addr);
    local.ss_family = AF_UNIX;
    const struct {
        const sockaddr_storage* address;
        socklen_t length;
        const char* host;
        const char* serv;
    } cases[] = {
        {&v4, sizeof(sockaddr_in), "192.0.2.7", "8080"},
        {&v6, sizeof(sockaddr_in6), "2001:db8::1", "443"},
        {&v4, sizeof(sockaddr_storage), "192.0.2.7", "8080"},
        {&local, sizeof(sockaddr_un), "unknown", "unknown"},
        {&empty, sizeof(sockaddr_storage), "unknown", "unknown"},
        {&v4, 1, "unknown", "unknown"},
        {&v4, 8, "unknown", "unknown"},
        {&v4, sizeof(sockaddr_in) - 1, "unknown", "unknown"},
        {&v6, sizeof(sockaddr_in), "unknown", "unknown"},
        {&v6, sizeof(sockaddr_in6) - 1, "unknown", "unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("family " + std::to_string(c.address->ss_family) + ", length " + std::to_string(c.length));
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.address);
        const std::vector<unsigned char> exact(bytes, bytes + c.length);
        const Texts texts = Convert(exact.data(), c.length);
        EXPECT_STREQ(texts.host, c.host);
        EXPECT_STREQ(texts.serv, c.serv);
    }
    EXPECT_STREQ(Convert(&v4, 0).host, "unknown");

    const auto* address = reinterpret_cast<const sockaddr*>(in4);
    char host[16] = "host";
    char serv[16] = "serv";
    addr2str(address, sizeof *in4, nullptr, 16, serv, sizeof serv);
    addr2str(address, sizeof *in4, host, sizeof host, nullptr, 16);
    addr2str(nullptr, sizeof *in4, host, sizeof host, serv, sizeof serv);
    EXPECT_STREQ(host, "host");
    EXPECT_STREQ(serv, "serv");

    char small_host[5];
    char small_serv[3];
    addr2str(address, sizeof *in4, small_host, sizeof small_host, small_serv, sizeof small_serv);
    EXPECT_STREQ(small_host, "unkn");
    EXPECT_STREQ(small_serv, "un");
}

// Lookups compare the whole key (its size is ignored), case-sensitively,
// within the 256-character field even when an id fills it without a NUL;
// duplicates are kept, and the first is found and deleted first. A user's
// texts are copied as the text functions copy; copies and assignments keep an
// id that fills its field whole, and a null text changes nothing.
TEST(UserList, LookupComparesTheWholeKeyWithinItsField)
{
    const std::string full_id(kField, 'i');
    CVeskMessageUserManager users;
    users.add_user("ab", 2, "short", 5);
    users.add_user("abcde", 5, "long", 4);
    users.add_user("alice", 5, "pw", 2);
    users.add_user(full_id.c_str(), full_id.size(), "full", 4);
    users.add_user(nullptr, 0, "empty", 5);
    users.add_user("alice", 5, "second", 6);
    const struct {
        std::string key;
        size_t size;
        std::string passwd;  // "-": not found
    } cases[] = {
        {"abcde", 2, "long"}, {"abc", 3, "-"},         {"ab", 99, "short"},
        {"alice", 5, "pw"},   {"Alice", 5, "-"},       {full_id, full_id.size(), "full"},
        {"", 0, "empty"},     {full_id + "x", 0, "-"}, {full_id.substr(1), 0, "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key.substr(0, 8) + " of " + std::to_string(c.key.size()));
        const CVeskMessageUser* found = users.get_user(c.key.c_str(), c.size);
        EXPECT_EQ(found != nullptr ? found->get_passwd() : "-", c.passwd);
        const CVeskMessageUser copy = users.reference_user(c.key.c_str(), c.size);
        EXPECT_EQ(copy.get_passwd_size() > 0 ? copy.get_passwd() : "-", c.passwd) << "an absent user is empty";
    }
    CVeskMessageUser assigned;
    EXPECT_EQ(assigned.get_uid_size(), 0u);
    assigned = users.reference_user(full_id.c_str(), 0);
    assigned.set_uid(nullptr, 3);
    assigned.set_passwd(nullptr, 3);
    EXPECT_EQ(std::string(assigned.get_uid(), kField), full_id);
    EXPECT_EQ(assigned.get_uid_size(), kField);
    EXPECT_STREQ(assigned.get_passwd(), "full");
    EXPECT_EQ(users.get_user(nullptr, 0), nullptr) << "a null key matches nothing";
    EXPECT_EQ(users.delete_user(nullptr, 0), 0);
    EXPECT_EQ(users.delete_user("ALICE", 5), 0);
    EXPECT_EQ(users.delete_user("alice", 5), 1);
    EXPECT_STREQ(users.get_user("alice", 5)->get_passwd(), "second");
    EXPECT_EQ(users.delete_user("alice", 5), 1);
    EXPECT_EQ(users.delete_user("alice", 5), 0);
}

// Each load replaces the list. Pairs are separated by any white space
// whatever the lines; case and duplicates are kept; a NUL ends a token's text.
// A token of 255 characters is kept, a longer one is consumed whole and its
// pair skipped, so later pairs stay in step. A file that could make accounts
// nobody wrote down, or that is not a file of bounded size, or none at all, is
// refused whole: 0, and the list loaded before stays. The system's own user
// operations work on the list of logged-in users and leave it alone too.
TEST(AuthList, LoadsReplaceTheListAndSuspectFilesLeaveItAlone)
{
    CVeskMessageSystem system;
    const Pairs old = {{"old", "pw"}};
    const std::string id255(kField - 1, 'a');
    const std::string passwd255(kField - 1, 'b');
    const std::string huge(20000, 'h');
    std::string many;
    Pairs many_pairs;
    for (int i = 0; i < 3000; ++i) {
        many_pairs.emplace_back("user" + std::to_string(i), "pass" + std::to_string(i * 7));
        many += many_pairs.back().first + "\t" + many_pairs.back().second + "\n";
    }
    const struct {
        const char* name;
        std::string contents;
        Pairs expected;
    } cases[] = {
        {"white space",
         "alice\tWonder1\n  bob   builder\r\n\n\ncarol\n\tpass\v\fdave eve\tfrank grace\n",
         {{"alice", "Wonder1"}, {"bob", "builder"}, {"carol", "pass"}, {"dave", "eve"}, {"frank", "grace"}}},
        {"case", "Alice Secret\nalice secret\n", {{"Alice", "Secret"}, {"alice", "secret"}}},
        {"duplicates", "bob one\nbob two\n", {{"bob", "one"}, {"bob", "two"}}},
        {"nul in a token", std::string("ab\0cd pw\n", 9), {{"ab", "pw"}}},
        {"255 characters", id255 + "\t" + passwd255 + "\n", {{id255, passwd255}}},
        {"256-character id and 300-character password",
         "alice a\n" + std::string(kField, 'u') + "\tpw1\nbob\t" + std::string(300, 'p') + "\ncarol c\n",
         {{"alice", "a"}, {"carol", "c"}}},
        {"20000-character tokens", "x " + huge + " dave d " + huge + " y", {{"dave", "d"}}},
        {"3000 pairs across chunks", many, many_pairs},
        {"only white space", " \n\t", {}},
        {"the list the suspect files below leave alone", "old pw\n", old},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(system.load_auth_user_list(TempFile(c.contents).Name()), 1);
        EXPECT_EQ(VeskNetworkTestAccess::AuthEntries(system), c.expected);
    }

    const TempFile odd("alice\nbob\thunter2\ncarol\tpw3\n");
    const TempFile oversized("");
    ASSERT_EQ(truncate(oversized.Name(), 64 * 1024 * 1024 + 1), 0);
    const std::string fifo = std::string(oversized.Name()) + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = ::testing::TempDir();
    const std::pair<const char*, const char*> files[] = {{"a password missing", odd.Name()},
                                                         {"a directory", directory.c_str()},
                                                         {"a device", "/dev/zero"},
                                                         {"over 64 MiB", oversized.Name()},
                                                         {"a FIFO without a writer", fifo.c_str()},
                                                         {"no name", nullptr},
                                                         {"a missing file", "/nonexistent/vesk/users.txt"}};
    for (const auto& [name, path] : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(system.load_auth_user_list(path), 0);
        EXPECT_EQ(VeskNetworkTestAccess::AuthEntries(system), old);
    }
    std::remove(fifo.c_str());

    EXPECT_EQ(system.add_user("frank", 5, "pw", 2), 1);
    EXPECT_EQ(system.get_user("old", 3), nullptr);
    EXPECT_STREQ(system.reference_user("frank", 5).get_passwd(), "pw");
    EXPECT_EQ(static_cast<const CVeskMessageSystem&>(system).get_user("frank", 5), system.get_user("frank", 5));
    EXPECT_EQ(system.delete_user("frank", 5), 1);
    EXPECT_EQ(system.delete_user("frank", 5), 0);
    EXPECT_EQ(system.delete_alluser(), 1);
    EXPECT_EQ(VeskNetworkTestAccess::AuthEntries(system), old);
}
