#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "VeskMessageSystem.h"
#include "message/text_functions.h"

using VeskMessageSystem::addr2str;

namespace {

constexpr size_t kField = 256;

sockaddr_in Ipv4Address(const char* text, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

sockaddr_in6 Ipv6Address(const char* text, uint16_t port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

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

TEST(TextCompare, ComparesBytesAsUnsignedAndWholeTexts)
{
    EXPECT_EQ(_tcscmp("alice", "alice"), 0);
    EXPECT_LT(_tcscmp("alice", "alicea"), 0);
    EXPECT_GT(_tcscmp("Alice", "ALICE"), 0);
    EXPECT_GT(_tcscmp("\x80", "a"), 0);
}

TEST(TextCopy, IgnoresCountAndFillsTheRestWithNul)
{
    char field[kField];
    std::memset(field, 'x', sizeof field);

    EXPECT_EQ(_tcsncpy_s(field, sizeof field, "abc", 1), field);

    EXPECT_STREQ(field, "abc");
    EXPECT_EQ(std::string(field + 3, sizeof field - 3), std::string(sizeof field - 3, '\0'));
}

TEST(TextCopy, LongSourceFillsTheFieldWithoutNulAndStopsAtItsEnd)
{
    const std::string source(300, 'q');
    char buffer[kField + 1];
    buffer[kField] = '#';

    _tcsncpy_s(buffer, kField, source.c_str(), source.size());

    EXPECT_EQ(std::string(buffer, kField), std::string(kField, 'q'));
    EXPECT_EQ(buffer[kField], '#');
}

TEST(TextLength, CountsUpToNulAndNeverBeyondTheMaximum)
{
    EXPECT_EQ(_tcscnlen("abc", kField), 3u);
    EXPECT_EQ(_tcscnlen("", kField), 0u);
    EXPECT_EQ(_tcscnlen("abc", 0), 0u);

    // Exactly the maximum is readable: the sanitizer build catches a read past it.
    const auto full = std::make_unique<char[]>(kField);
    std::memset(full.get(), 'z', kField);
    EXPECT_EQ(_tcscnlen(full.get(), kField), kField);
}

TEST(AddressText, NumericHostAndPortOfIpv4AndIpv6)
{
    const sockaddr_in v4 = Ipv4Address("192.0.2.7", 8080);
    const Texts v4_texts = Convert(&v4, sizeof v4);
    EXPECT_STREQ(v4_texts.host, "192.0.2.7");
    EXPECT_STREQ(v4_texts.serv, "8080");

    const sockaddr_in6 v6 = Ipv6Address("2001:db8::1", 443);
    const Texts v6_texts = Convert(&v6, sizeof v6);
    EXPECT_STREQ(v6_texts.host, "2001:db8::1");
    EXPECT_STREQ(v6_texts.serv, "443");
}

TEST(AddressText, LongerLengthThanTheFamilyNeedsIsAccepted)
{
    sockaddr_storage storage{};
    const sockaddr_in v4 = Ipv4Address("10.1.2.3", 1);
    std::memcpy(&storage, &v4, sizeof v4);

    const Texts texts = Convert(&storage, sizeof storage);

    EXPECT_STREQ(texts.host, "10.1.2.3");
    EXPECT_STREQ(texts.serv, "1");
}

TEST(AddressText, OtherFamiliesAreUnknown)
{
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::strcpy(local.sun_path, "/tmp/socket");
    sockaddr_storage empty{};

    for (const Texts& texts : {Convert(&local, sizeof local), Convert(&empty, sizeof empty)}) {
        EXPECT_STREQ(texts.host, "unknown");
        EXPECT_STREQ(texts.serv, "unknown");
    }
}

// The address is copied into a heap block of exactly `length` bytes, so the
// sanitizer build reports any read beyond it.
TEST(AddressText, LengthShorterThanTheFamilyStructureIsUnknownAndNotOverread)
{
    const sockaddr_in v4 = Ipv4Address("192.0.2.7", 80);
    const sockaddr_in6 v6 = Ipv6Address("::1", 80);
    const std::vector<std::pair<const void*, socklen_t>> cases = {{&v4, socklen_t{1}},
                                                                  {&v4, socklen_t{8}},
                                                                  {&v4, socklen_t{sizeof v4 - 1}},
                                                                  {&v6, socklen_t{sizeof v4}},
                                                                  {&v6, socklen_t{sizeof v6 - 1}}};

    for (const auto& [address, length] : cases) {
        std::vector<unsigned char> exact(static_cast<const unsigned char*>(address),
                                         static_cast<const unsigned char*>(address) + length);
        const Texts texts = Convert(exact.data(), length);
        EXPECT_STREQ(texts.host, "unknown") << "length " << length;
        EXPECT_STREQ(texts.serv, "unknown") << "length " << length;
    }
    EXPECT_STREQ(Convert(&v4, 0).host, "unknown");
}

TEST(AddressText, NullArgumentsWriteNothing)
{
    const sockaddr_in v4 = Ipv4Address("192.0.2.7", 80);
    char host[16] = "host";
    char serv[16] = "serv";

    addr2str(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, nullptr, 16, serv, sizeof serv);
    addr2str(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, host, sizeof host, nullptr, 16);
    addr2str(nullptr, sizeof v4, host, sizeof host, serv, sizeof serv);

    EXPECT_STREQ(host, "host");
    EXPECT_STREQ(serv, "serv");
}

// The sanitizer build catches a write past either buffer.
TEST(AddressText, SmallBuffersGetTruncatedUnknown)
{
    const sockaddr_in v4 = Ipv4Address("192.0.2.7", 8080);
    char host[5];
    char serv[3];

    addr2str(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, host, sizeof host, serv, sizeof serv);

    EXPECT_STREQ(host, "unkn");
    EXPECT_STREQ(serv, "un");
}
