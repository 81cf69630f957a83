// Loading a user list file: its tokenizer, its bounds, and the table it replaces.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

namespace {

constexpr size_t kTokenCapacity = CVeskMessageUser::kTextCapacity;
constexpr size_t kChunkSize = 4096;
// A user list is small text; anything larger is not one.
constexpr off_t kMaxFileBytes = off_t{64} * 1024 * 1024;

enum class Token { kEnd, kFits, kTooLong };

// White space as the C locale defines it, whatever locale the application set.
bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits a file into runs of non-white-space characters, reading it in chunks
// so that a token of any length needs no more memory. It stops at
// kMaxFileBytes, for a file that grows while it is read.
class CVeskUserListTokenizer {
public:
    explicit CVeskUserListTokenizer(FILE* file) : m_File(file), m_Chunk{}, m_Length(0), m_Position(0), m_Total(0) {}

    bool TooLarge() const { return m_Total > kMaxFileBytes; }

    // Reads the next token into `token` as a NUL-terminated text. A token
    // longer than the buffer holds is consumed whole and reported as kTooLong.
    Token Next(char (&token)[kTokenCapacity])
    {
        std::memset(token, 0, sizeof token);
        int c = SkipSpace();
        if (c == EOF)
            return Token::kEnd;
        size_t length = 0;
        for (; c != EOF && !IsSpace(c); c = Get()) {
            if (length < kTokenCapacity - 1)
                token[length] = static_cast<char>(c);
            ++length;
        }
        return length < kTokenCapacity ? Token::kFits : Token::kTooLong;
    }

private:
    int SkipSpace()
    {
        int c = Get();
        while (c != EOF && IsSpace(c))
            c = Get();
        return c;
    }

    int Get()
    {
        if (m_Position == m_Length) {
            if (TooLarge())
                return EOF;
            m_Length = std::fread(m_Chunk, 1, sizeof m_Chunk, m_File);
            m_Position = 0;
            m_Total += static_cast<off_t>(m_Length);
            if (m_Length == 0)
                return EOF;
        }
        return m_Chunk[m_Position++];
    }

    FILE* m_File;
    unsigned char m_Chunk[kChunkSize];
    size_t m_Length;
    size_t m_Position;
    off_t m_Total;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// The file opened for reading when it is a regular file of at most
// kMaxFileBytes; null otherwise. Opening does not wait, so a FIFO without a
// writer cannot hold the caller.
std::unique_ptr<FILE, FileCloser> OpenUserListFile(const char* name)
{
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status {};
    FILE* file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxFileBytes)
        file = fdopen(fd, "r");
    if (file == nullptr)
        close(fd);
    return std::unique_ptr<FILE, FileCloser>(file);
}

}  // namespace

// The file is a sequence of white-space separated tokens taken in pairs, user
// id then password; line structure does not matter. A token of more than 255
// characters cannot be stored: it is consumed whole and the pair it belongs to
// is skipped, so that every later token keeps its place in its own pair.
//
// A file that is not a regular file, is larger than 64 MiB, or holds an odd
// number of tokens is refused whole and the list loaded before stays: an odd
// count means a token is missing somewhere, and every pair after it would
// pair a password with the next user id.
int CVeskMessageSystem::load_auth_user_list(LPCTSTR lpFileName)
{
    if (lpFileName == nullptr)
        return 0;
    const auto file = OpenUserListFile(lpFileName);
    if (!file)
        return 0;

    CVeskMessageUserManager loaded;
    CVeskUserListTokenizer tokenizer(file.get());
    TCHAR uid[kTokenCapacity];
    TCHAR passwd[kTokenCapacity];
    for (;;) {
        const Token uid_token = tokenizer.Next(uid);
        if (uid_token == Token::kEnd)
            break;
        const Token passwd_token = tokenizer.Next(passwd);
        if (passwd_token == Token::kEnd)
            return 0;
        if (uid_token == Token::kTooLong || passwd_token == Token::kTooLong)
            continue;
        loaded.add_user(uid, _tcscnlen(uid, kTokenCapacity), passwd, _tcscnlen(passwd, kTokenCapacity));
    }
    if (tokenizer.TooLarge() || std::ferror(file.get()) != 0)
        return 0;
    m_mum_auth.swap_users(loaded);
    return 1;
}

}  // namespace VeskMessageSystem
