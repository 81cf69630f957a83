#include <cstdio>
#include <cstring>
#include <memory>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

namespace {

constexpr size_t kTokenCapacity = CVeskMessageUser::kTextCapacity;
constexpr size_t kChunkSize = 4096;

enum class eToken { END, FITS, TOO_LONG };

// White space as the C locale defines it, whatever locale the application set.
bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits a file into runs of non-white-space characters, reading it in chunks
// so that a file of any size, or a token of any length, needs no more memory.
class CUserListTokenizer {
public:
    explicit CUserListTokenizer(FILE* file) : m_file(file), m_chunk{}, m_length(0), m_position(0) {}

    // Reads the next token into `token` as a NUL-terminated text. A token
    // longer than the buffer holds is consumed whole and reported as TOO_LONG.
    eToken Next(char (&token)[kTokenCapacity])
    {
        std::memset(token, 0, sizeof token);
        int c = SkipSpace();
        if (c == EOF)
            return eToken::END;
        size_t length = 0;
        for (; c != EOF && !IsSpace(c); c = Get()) {
            if (length < kTokenCapacity - 1)
                token[length] = static_cast<char>(c);
            ++length;
        }
        return length < kTokenCapacity ? eToken::FITS : eToken::TOO_LONG;
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
        if (m_position == m_length) {
            m_length = std::fread(m_chunk, 1, sizeof m_chunk, m_file);
            m_position = 0;
            if (m_length == 0)
                return EOF;
        }
        return m_chunk[m_position++];
    }

    FILE* m_file;
    unsigned char m_chunk[kChunkSize];
    size_t m_length;
    size_t m_position;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

// The file is a sequence of white-space separated tokens taken in pairs, user
// id then password; line structure does not matter, and a last token without
// a partner is a user with an empty password. A token of more than 255
// characters cannot be stored: it is consumed whole and the pair it belongs to
// is skipped, so that every later token keeps its place in its own pair.
int CVeskMessageSystem::load_auth_user_list(LPCTSTR lpFileName)
{
    if (lpFileName == nullptr)
        return 0;
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(lpFileName, "r"));
    if (!file)
        return 0;

    m_mum_auth.delete_alluser();
    CUserListTokenizer tokenizer(file.get());
    TCHAR uid[kTokenCapacity];
    TCHAR passwd[kTokenCapacity];
    for (;;) {
        const eToken uid_token = tokenizer.Next(uid);
        if (uid_token == eToken::END)
            break;
        const eToken passwd_token = tokenizer.Next(passwd);
        if (uid_token == eToken::TOO_LONG || passwd_token == eToken::TOO_LONG)
            continue;
        m_mum_auth.add_user(uid, _tcscnlen(uid, kTokenCapacity), passwd, _tcscnlen(passwd, kTokenCapacity));
    }
    return 1;
}

}  // namespace VeskMessageSystem
