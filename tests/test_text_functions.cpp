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
    auto* un = reinterpret_cast<sockaddr_un*>(&local);
    un->sun_family = AF_UNIX;
    std::strcpy(un->sun_path, "/tmp/socket");
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
