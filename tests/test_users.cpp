#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "VeskMessageSystem.h"
#include "test_support.h"

using VeskMessageSystem::CVeskMessageSystem;
using VeskMessageSystem::CVeskMessageUser;
using VeskMessageSystem::CVeskMessageUserManager;

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct VeskNetworkTestAccess {
    static CVeskMessageUserManager& AuthUsers(CVeskMessageSystem& system) { return system.m_mum_auth; }

    // The list's ids and passwords in order.
    static Pairs Entries(const CVeskMessageUserManager& users)
    {
        Pairs entries;
        for (const auto& user : users.m_VeskMessageUserArray)
            entries.emplace_back(std::string(user->get_uid(), user->get_uid_size()),
                                 std::string(user->get_passwd(), user->get_passwd_size()));
        return entries;
    }
};

namespace {

constexpr size_t kField = CVeskMessageUser::kTextCapacity;

CVeskMessageUser MakeUser(const std::string& uid, const std::string& passwd)
{
    CVeskMessageUser user;
    user.set_uid(uid.c_str(), uid.size());
    user.set_passwd(passwd.c_str(), passwd.size());
    return user;
}

std::string Field(LPCTSTR text)
{
    return std::string(text, kField);
}

using vesk_test::TempFile;

class AuthListTest : public ::testing::Test {
protected:
    int Load(const std::string& contents)
    {
        const TempFile file(contents);
        return m_system.load_auth_user_list(file.Name());
    }

    CVeskMessageUserManager& AuthUsers() { return VeskNetworkTestAccess::AuthUsers(m_system); }
    Pairs AuthEntries() { return VeskNetworkTestAccess::Entries(AuthUsers()); }

    CVeskMessageSystem m_system;
};

}  // namespace

// A user's text is copied up to its NUL whatever size is given, the rest of
// the field cleared; a null text changes nothing; a text of 256 or more
// characters fills the field without a NUL.
TEST(User, SetCopiesUpToNulAndStaysWithinTheField)
{
    CVeskMessageUser user;
    EXPECT_EQ(user.get_uid_size(), 0u);
    EXPECT_EQ(user.get_passwd_size(), 0u);

    user.set_uid("abcdef", 6);
    user.set_uid("abc", 1);
    user.set_passwd("secret", 100);
    EXPECT_EQ(Field(user.get_uid()), std::string("abc") + std::string(kField - 3, '\0'));
    EXPECT_EQ(user.get_uid_size(), 3u);
    EXPECT_STREQ(user.get_passwd(), "secret");

    user.set_uid(nullptr, 3);
    user.set_passwd(nullptr, 3);
    EXPECT_STREQ(user.get_uid(), "abc");
    EXPECT_STREQ(user.get_passwd(), "secret");

    const CVeskMessageUser full = MakeUser(std::string(300, 'u'), std::string(kField, 'p'));
    EXPECT_EQ(Field(full.get_uid()), std::string(kField, 'u'));
    EXPECT_EQ(full.get_uid_size(), kField);
    EXPECT_EQ(full.get_passwd_size(), kField);
}

TEST(User, CopyAndAssignmentKeepFullFieldsAndSurviveSelfAssignment)
{
    const CVeskMessageUser full = MakeUser(std::string(kField, 'u'), std::string(kField, 'p'));

    CVeskMessageUser copied(full);
    CVeskMessageUser assigned = MakeUser("a much longer previous id", "old");
    assigned = full;
    CVeskMessageUser& self = assigned;
    assigned = self;

    for (const CVeskMessageUser* user : {&copied, &assigned}) {
        EXPECT_EQ(Field(user->get_uid()), std::string(kField, 'u'));
        EXPECT_EQ(Field(user->get_passwd()), std::string(kField, 'p'));
    }
    CVeskMessageUser shorter = MakeUser("a much longer previous id", "old");
    shorter = MakeUser("bob", "x");
    EXPECT_EQ(Field(shorter.get_uid()), std::string("bob") + std::string(kField - 3, '\0'));
}

// Lookups compare the whole key (its size is ignored), case-sensitively,
// within the 256-character field even when an id fills it without a NUL.
TEST(UserList, LookupComparesTheWholeKeyWithinItsField)
{
    const std::string full_id(kField, 'i');
    CVeskMessageUserManager users;
    users.add_user("ab", 2, "short", 5);
    users.add_user("abcde", 5, "long", 4);
    users.add_user("alice", 5, "pw", 2);
    users.add_user(full_id.c_str(), full_id.size(), "full", 4);
    users.add_user(nullptr, 0, "empty", 5);

    struct Case {
        std::string key;
        size_t size;
        const char* passwd;  // null: not found
    };
    const Case cases[] = {
        {"abcde", 2, "long"},
        {"abc", 3, nullptr},
        {"ab", 99, "short"},
        {"alice", 5, "pw"},
        {"Alice", 5, nullptr},
        {full_id, full_id.size(), "full"},
        {full_id + "x", 0, nullptr},
        {full_id.substr(1), 0, nullptr},
        {"", 0, "empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key.substr(0, 8) + " of " + std::to_string(c.key.size()));
        const CVeskMessageUser* found = users.get_user(c.key.c_str(), c.size);
        if (c.passwd == nullptr) {
            EXPECT_EQ(found, nullptr);
            EXPECT_EQ(users.reference_user(c.key.c_str(), c.size).get_uid_size(), 0u) << "an absent user is empty";
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_STREQ(found->get_passwd(), c.passwd);
            EXPECT_STREQ(users.reference_user(c.key.c_str(), c.size).get_passwd(), c.passwd);
        }
    }
    EXPECT_EQ(users.get_user(nullptr, 0), nullptr) << "a null key matches nothing";
    EXPECT_EQ(users.delete_user(nullptr, 0), 0);
    EXPECT_EQ(users.delete_user("ALICE", 5), 0);
    EXPECT_EQ(users.delete_user("abcde", 1), 1);
}

TEST(UserList, DuplicatesAreKeptAndTheFirstIsFoundAndDeletedFirst)
{
    CVeskMessageUserManager users;
    users.add_user("carol", 5, "c", 1);
    users.add_user("bob", 3, "first", 5);
    users.add_user("dave", 4, "d", 1);
    users.add_user("bob", 3, "second", 6);

    EXPECT_STREQ(users.get_user("bob", 3)->get_passwd(), "first");
    EXPECT_EQ(users.delete_user("bob", 3), 1);
    EXPECT_EQ(VeskNetworkTestAccess::Entries(users), (Pairs{{"carol", "c"}, {"dave", "d"}, {"bob", "second"}}));
    EXPECT_EQ(users.delete_user("bob", 3), 1);
    EXPECT_EQ(users.delete_user("bob", 3), 0);
}

TEST(SystemUsers, PublicOperationsWorkOnTheAuthenticatedListNotTheLoadedOne)
{
    CVeskMessageSystem system;
    VeskNetworkTestAccess::AuthUsers(system).add_user("loaded", 6, "pw", 2);

    EXPECT_EQ(system.add_user("frank", 5, "pw", 2), 1);

    EXPECT_EQ(system.get_user("loaded", 6), nullptr);
    EXPECT_STREQ(system.reference_user("frank", 5).get_passwd(), "pw");
    EXPECT_EQ(static_cast<const CVeskMessageSystem&>(system).get_user("frank", 5), system.get_user("frank", 5));
    EXPECT_EQ(system.delete_user("frank", 5), 1);
    EXPECT_EQ(system.delete_user("frank", 5), 0);
    EXPECT_EQ(system.delete_alluser(), 1);
}

// Pairs are separated by any white space whatever the lines; case and
// duplicates are kept; a NUL ends a token's text. A token of 255 characters is
// kept, a longer one is consumed whole and its pair skipped, so later pairs
// stay in step.
TEST_F(AuthListTest, LoadedFilesGiveTheirPairsInOrder)
{
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Load(c.contents), 1);
        EXPECT_EQ(AuthEntries(), c.expected);
    }
}

TEST_F(AuthListTest, EachLoadReplacesTheListAndAFailedOneKeepsIt)
{
    ASSERT_EQ(Load("old pw\n"), 1);
    ASSERT_EQ(Load("new pw\n"), 1);
    EXPECT_EQ(AuthEntries(), (Pairs{{"new", "pw"}}));

    EXPECT_EQ(m_system.load_auth_user_list(nullptr), 0);
    EXPECT_EQ(m_system.load_auth_user_list("/nonexistent/vesk/users.txt"), 0);
    EXPECT_EQ(AuthEntries(), (Pairs{{"new", "pw"}}));

    ASSERT_EQ(Load(" \n\t"), 1);
    EXPECT_TRUE(AuthEntries().empty());
}

// A file that could make accounts nobody wrote down, or that is not a file of
// bounded size, is refused whole: 0, and the list loaded before stays.
TEST_F(AuthListTest, SuspectFilesAreRefusedAndTheListKept)
{
    ASSERT_EQ(Load("old pw\n"), 1);
    const TempFile odd("alice\nbob\thunter2\ncarol\tpw3\n");
    const TempFile oversized("");
    ASSERT_EQ(truncate(oversized.Name(), 64 * 1024 * 1024 + 1), 0);
    const std::string fifo = std::string(oversized.Name()) + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<const char*, std::string> files[] = {
        {"a password missing", odd.Name()}, {"a directory", ::testing::TempDir()}, {"a device", "/dev/zero"},
        {"over 64 MiB", oversized.Name()},  {"a FIFO without a writer", fifo},
    };
    for (const auto& [name, path] : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(m_system.load_auth_user_list(path.c_str()), 0);
        EXPECT_EQ(AuthEntries(), (Pairs{{"old", "pw"}}));
    }
    std::remove(fifo.c_str());
}
