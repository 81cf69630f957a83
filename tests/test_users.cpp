#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "VeskMessageSystem.h"

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
        for (const CVeskMessageUser& user : users.m_VeskMessageUserArray)
            entries.emplace_back(std::string(user.get_uid(), user.get_uid_size()),
                                 std::string(user.get_passwd(), user.get_passwd_size()));
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

// A temporary file holding the given bytes, removed with the object.
class TempFile {
public:
    explicit TempFile(const std::string& contents)
    {
        std::string pattern = ::testing::TempDir() + "vesk_users_XXXXXX";
        const int fd = mkstemp(pattern.data());
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
        ::close(fd);
        m_name = pattern;
    }
    ~TempFile() { std::remove(m_name.c_str()); }
    const char* Name() const { return m_name.c_str(); }

private:
    std::string m_name;
};

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

TEST(User, SetCopiesUpToNulWhateverTheSizeAndClearsTheRest)
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
}

TEST(User, NullTextChangesNothing)
{
    CVeskMessageUser user = MakeUser("alice", "pw");

    user.set_uid(nullptr, 3);
    user.set_passwd(nullptr, 3);

    EXPECT_STREQ(user.get_uid(), "alice");
    EXPECT_STREQ(user.get_passwd(), "pw");
}

TEST(User, LongTextFillsTheFieldWithoutNul)
{
    const CVeskMessageUser user = MakeUser(std::string(300, 'u'), std::string(kField, 'p'));

    EXPECT_EQ(Field(user.get_uid()), std::string(kField, 'u'));
    EXPECT_EQ(user.get_uid_size(), kField);
    EXPECT_EQ(user.get_passwd_size(), kField);
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

TEST(UserList, LookupUsesTheWholeKeyAndIgnoresItsSize)
{
    CVeskMessageUserManager users;
    users.add_user("ab", 2, "short", 5);
    users.add_user("abcde", 5, "long", 4);

    const CVeskMessageUser* found = users.get_user("abcde", 2);

    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->get_passwd(), "long");
    EXPECT_EQ(users.get_user("abc", 3), nullptr);
    EXPECT_EQ(users.delete_user("abcde", 1), 1);
    EXPECT_STREQ(users.reference_user("ab", 99).get_passwd(), "short");
}

TEST(UserList, IdsAreCaseSensitive)
{
    CVeskMessageUserManager users;
    users.add_user("alice", 5, "pw", 2);

    EXPECT_EQ(users.get_user("Alice", 5), nullptr);
    EXPECT_EQ(users.delete_user("ALICE", 5), 0);
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

TEST(UserList, ReferenceIsACopyAndAnAbsentUserIsEmpty)
{
    CVeskMessageUserManager users;
    users.add_user("carol", 5, "pw", 2);

    const CVeskMessageUser copy = users.reference_user("carol", 5);
    users.delete_alluser();
    const CVeskMessageUser absent = users.reference_user("carol", 5);

    EXPECT_STREQ(copy.get_passwd(), "pw");
    EXPECT_EQ(absent.get_uid_size(), 0u);
    EXPECT_EQ(absent.get_passwd_size(), 0u);
}

TEST(UserList, ConstLookupFindsTheSameEntry)
{
    CVeskMessageUserManager users;
    users.add_user("dave", 4, "pw", 2);
    const CVeskMessageUserManager& view = users;

    EXPECT_EQ(view.get_user("dave", 4), users.get_user("dave", 4));
    EXPECT_EQ(view.get_user("eve", 3), nullptr);
}

// An id that fills its field has no NUL; the comparison must neither run on
// into the password nor accept a longer key.
TEST(UserList, IdFillingItsFieldMatchesOnlyTheSameText)
{
    const std::string id(kField, 'i');
    CVeskMessageUserManager users;
    users.add_user(id.c_str(), id.size(), "pw", 2);

    EXPECT_NE(users.get_user(id.c_str(), id.size()), nullptr);
    EXPECT_EQ(users.get_user((id + "x").c_str(), 0), nullptr);
    EXPECT_EQ(users.get_user(id.substr(1).c_str(), 0), nullptr);
}

TEST(UserList, NullKeyMatchesNothing)
{
    CVeskMessageUserManager users;
    users.add_user(nullptr, 0, "pw", 2);

    EXPECT_EQ(users.get_user(nullptr, 0), nullptr);
    EXPECT_EQ(users.delete_user(nullptr, 0), 0);
    EXPECT_NE(users.get_user("", 0), nullptr);
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

TEST_F(AuthListTest, PairsAreSeparatedByAnyWhiteSpaceWhateverTheLines)
{
    EXPECT_EQ(Load("alice\tWonder1\n"
                   "  bob   builder\r\n"
                   "\n\n"
                   "carol\n\tpass\v\f"
                   "dave eve\tfrank grace\n"),
              1);

    EXPECT_EQ(
        AuthEntries(),
        (Pairs{{"alice", "Wonder1"}, {"bob", "builder"}, {"carol", "pass"}, {"dave", "eve"}, {"frank", "grace"}}));
}

TEST_F(AuthListTest, LastTokenWithoutPartnerIsAUserWithEmptyPassword)
{
    ASSERT_EQ(Load("alice secret\nbob"), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"alice", "secret"}, {"bob", ""}}));
}

TEST_F(AuthListTest, IdsAndPasswordsKeepTheirCase)
{
    ASSERT_EQ(Load("Alice Secret\nalice secret\n"), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"Alice", "Secret"}, {"alice", "secret"}}));
    EXPECT_STREQ(AuthUsers().get_user("alice", 5)->get_passwd(), "secret");
}

TEST_F(AuthListTest, DuplicateIdsAreStoredAndTheFirstIsFound)
{
    ASSERT_EQ(Load("bob one\nbob two\n"), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"bob", "one"}, {"bob", "two"}}));
    EXPECT_STREQ(AuthUsers().get_user("bob", 3)->get_passwd(), "one");
}

TEST_F(AuthListTest, NulByteInsideATokenEndsTheStoredText)
{
    ASSERT_EQ(Load(std::string("ab\0cd pw\n", 9)), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"ab", "pw"}}));
}

TEST_F(AuthListTest, TokenOf255CharactersIsKept)
{
    const std::string id(kField - 1, 'a');
    const std::string passwd(kField - 1, 'b');

    ASSERT_EQ(Load(id + "\t" + passwd + "\n"), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{id, passwd}}));
}

TEST_F(AuthListTest, OverLongTokensSkipTheirPairAndLaterPairsStayInStep)
{
    const std::string long_id(kField, 'u');
    const std::string long_passwd(300, 'p');

    ASSERT_EQ(Load("alice a\n" + long_id + "\tpw1\n" + "bob\t" + long_passwd + "\ncarol c\n"), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"alice", "a"}, {"carol", "c"}}));
}

TEST_F(AuthListTest, OverLongTokenSpanningManyChunksAndAnUnpairedOneAtTheEnd)
{
    const std::string huge(20000, 'h');

    ASSERT_EQ(Load("x " + huge + " dave d " + huge), 1);

    EXPECT_EQ(AuthEntries(), (Pairs{{"dave", "d"}}));
}

TEST_F(AuthListTest, LargeFileLoadsEveryPairAcrossChunkBoundaries)
{
    std::string contents;
    Pairs expected;
    for (int i = 0; i < 3000; ++i) {
        expected.emplace_back("user" + std::to_string(i), "pass" + std::to_string(i * 7));
        contents += expected.back().first + "\t" + expected.back().second + "\n";
    }

    ASSERT_EQ(Load(contents), 1);

    EXPECT_EQ(AuthEntries(), expected);
}

TEST_F(AuthListTest, EachLoadReplacesTheList)
{
    ASSERT_EQ(Load("old pw\n"), 1);
    ASSERT_EQ(Load("new pw\n"), 1);
    EXPECT_EQ(AuthEntries(), (Pairs{{"new", "pw"}}));

    ASSERT_EQ(Load("old pw\n"), 1);
    ASSERT_EQ(Load(" \n\t"), 1);
    EXPECT_TRUE(AuthEntries().empty());
}

TEST_F(AuthListTest, NullNameOrMissingFileFailsAndKeepsTheList)
{
    ASSERT_EQ(Load("kept pw\n"), 1);

    EXPECT_EQ(m_system.load_auth_user_list(nullptr), 0);
    EXPECT_EQ(m_system.load_auth_user_list("/nonexistent/vesk/users.txt"), 0);

    EXPECT_EQ(AuthEntries(), (Pairs{{"kept", "pw"}}));
}
