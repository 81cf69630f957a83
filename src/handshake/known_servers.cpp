// The known-servers file: server key fingerprints learned on first contact
// and required afterwards, one "HOST SERVICE FINGERPRINT" line per endpoint.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "VeskNetworkSystem.h"
#include "crypto/key_fingerprint.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {
namespace {

// Host names are at most 255 characters, service names fit the listeners'
// 32-byte fields: so a line is bounded, and so is the whole file.
constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxServiceLength = CVeskNetworkSessionListen::kServiceCapacity - 1;
constexpr size_t kMaxLineLength = kMaxHostLength + 1 + kMaxServiceLength + 1 + 64;
constexpr off_t kMaxFileSize = static_cast<off_t>((kMaxLineLength + 1) * CVeskNetworkSessionManager::kMaxServerKeyPins);

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A name the file can hold: not empty, bounded, and free of the characters
// that separate the file's fields and lines.
bool FitsTheFile(const char* name, size_t max_length)
{
    const size_t length = strnlen(name, max_length + 1);
    if (length == 0 || length > max_length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (IsBlank(name[i]) || name[i] == '\n' || name[i] == '\r' || name[i] == '#')
            return false;
    return true;
}

// Splits a line into exactly three blank-separated fields.
bool SplitLine(const std::string& line, std::string (&fields)[3])
{
    size_t at = 0;
    for (std::string& field : fields) {
        while (at < line.size() && IsBlank(line[at]))
            ++at;
        const size_t begin = at;
        while (at < line.size() && !IsBlank(line[at]))
            ++at;
        if (at == begin)
            return false;
        field = line.substr(begin, at - begin);
    }
    while (at < line.size() && IsBlank(line[at]))
        ++at;
    return at == line.size();
}

// One entry of a line; false for anything but a well-formed entry.
bool ParseEntry(const std::string& line, CVeskServerKeyPin& entry)
{
    std::string fields[3];
    if (!SplitLine(line, fields) || !FitsTheFile(fields[0].c_str(), kMaxHostLength) ||
        !FitsTheFile(fields[1].c_str(), kMaxServiceLength) ||
        !vesk::crypto::ParseFingerprint(fields[2].c_str(), entry.digest))
        return false;
    entry.host = fields[0];
    entry.service = fields[1];
    entry.known = true;
    return true;
}

// The whole file as text; a missing file is an empty one. False when it is
// not a regular file or too large.
bool ReadKnownServersFile(const char* path, std::string& text)
{
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat status {};
    bool read_whole = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxFileSize;
    if (read_whole) {
        // One byte more than allowed shows a file that grew meanwhile.
        text.resize(static_cast<size_t>(kMaxFileSize) + 1);
        size_t length = 0;
        ssize_t n = 0;
        const auto read_more = [&] { return ::read(fd, &text[length], text.size() - length); };
        while (length < text.size() && (n = vesk::net::RetryInterrupted(read_more)) > 0)
            length += static_cast<size_t>(n);
        text.resize(length);
        read_whole = n >= 0 && length <= static_cast<size_t>(kMaxFileSize);
    }
    ::close(fd);
    return read_whole;
}

// Replaces the file in one step: a reader sees the old file or the new one,
// never a part.
bool WriteFileAtomically(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n =
            vesk::net::RetryInterrupted([&] { return ::write(fd, text.data() + written, text.size() - written); });
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool complete = written == text.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !complete || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int CVeskNetworkSessionManager::SetKnownServersFile(const char* path)
{
    std::vector<std::shared_ptr<CVeskServerKeyPin>> entries;
    if (path != nullptr) {
        std::string text;
        if (*path == '\0' || !ReadKnownServersFile(path, text))
            return 0;
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#')
                continue;
            auto entry = std::make_shared<CVeskServerKeyPin>();
            if (entries.size() >= kMaxServerKeyPins || !ParseEntry(line, *entry))
                return 0;
            entries.push_back(std::move(entry));
        }
    }
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    m_KnownServersPath = path != nullptr ? path : "";
    m_KnownServers = std::move(entries);
    return 1;
}

std::shared_ptr<CVeskServerKeyPin> CVeskNetworkSessionManager::KnownServerLocked(const char* host, const char* service)
{
    if (m_KnownServersPath.empty())
        return nullptr;
    for (const auto& entry : m_KnownServers)
        if (entry->host == host && entry->service == service)
            return entry;
    // Endpoints the file cannot hold, or beyond its bound, are not remembered.
    if (!FitsTheFile(host, kMaxHostLength) || !FitsTheFile(service, kMaxServiceLength) ||
        m_KnownServers.size() >= kMaxServerKeyPins)
        return nullptr;
    auto entry = std::make_shared<CVeskServerKeyPin>();
    entry->host = host;
    entry->service = service;
    m_KnownServers.push_back(entry);
    return entry;
}

bool CVeskNetworkSessionManager::CheckKnownServerKey(CVeskServerKeyPin& entry, const unsigned char* digest)
{
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    if (entry.known)
        return std::memcmp(entry.digest, digest, sizeof entry.digest) == 0;
    std::memcpy(entry.digest, digest, sizeof entry.digest);
    entry.known = true;
    // The key is required from now on even when the file cannot be written;
    // writing happens once per endpoint.
    std::string text;
    for (const auto& known : m_KnownServers) {
        if (!known->known)
            continue;
        char fingerprint[vesk::crypto::kFingerprintTextSize];
        vesk::crypto::FormatFingerprint(known->digest, fingerprint);
        text += known->host + ' ' + known->service + ' ' + fingerprint + '\n';
    }
    WriteFileAtomically(m_KnownServersPath, text);
    return true;
}

}  // namespace VeskNetworkSystem
