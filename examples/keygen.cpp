// vesk-keygen: makes the persistent RSA key pair of a server and prints its
// fingerprint, the text clients pin (vesk-echo-client --pin). The private key
// goes to FILE (mode 0600), the public key to FILE.pub, both PKCS #1 DER; the
// fingerprint is the SHA-256 of FILE.pub in lowercase hex, so `sha256sum
// FILE.pub` shows it too. With --fingerprint it prints the fingerprint of an
// existing key file, private or public.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CryptFunction.h"
#include "VeskMessageSystem.h"
#include "example_common.h"

using namespace VeskMessageSystem;
using namespace vesk_example;

namespace {

// A PKCS #1 key of the sizes a server can use is a few hundred bytes.
constexpr size_t kMaxKeyFileSize = 64 * 1024;
// What RSA_generate_key_der may write for each key.
constexpr size_t kDerCapacity = 65535;

// Private key bytes are wiped before their memory is given back.
struct KeyBytes {
    std::vector<unsigned char> bytes;
    explicit KeyBytes(size_t size) : bytes(size) {}
    KeyBytes(const KeyBytes&) = delete;
    KeyBytes& operator=(const KeyBytes&) = delete;
    ~KeyBytes() { explicit_bzero(bytes.data(), bytes.size()); }
};

bool WriteAll(int fd, const std::vector<unsigned char>& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// Writes a key file with `mode`. Without `replace` an existing file is left
// alone and the call fails; with it, the file is rewritten and given `mode`,
// whatever it had. Never follows a symbolic link.
bool WriteKeyFile(const std::string& path, const std::vector<unsigned char>& bytes, mode_t mode, bool replace)
{
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0) {
        std::fprintf(stderr, "vesk-keygen: cannot create '%s': %s%s\n", path.c_str(), std::strerror(errno),
                     errno == EEXIST ? " (--force replaces it)" : "");
        return false;
    }
    const bool written = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        std::fprintf(stderr, "vesk-keygen: cannot write '%s': %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// Reads a whole file of at most kMaxKeyFileSize bytes.
bool ReadKeyFile(const std::string& path, KeyBytes& key)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "vesk-keygen: cannot open '%s': %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    key.bytes.resize(kMaxKeyFileSize + 1);
    const size_t length = std::fread(key.bytes.data(), 1, key.bytes.size(), file);
    std::fclose(file);
    if (length == 0 || length > kMaxKeyFileSize) {
        std::fprintf(stderr, "vesk-keygen: '%s' is empty or too large for a key\n", path.c_str());
        return false;
    }
    key.bytes.resize(length);
    return true;
}

bool PrintFingerprint(const std::vector<unsigned char>& der, const std::string& source)
{
    char fingerprint[CVeskMessageSystem::kServerKeyFingerprintSize];
    if (CVeskMessageSystem::server_key_fingerprint(der.data(), der.size(), fingerprint, sizeof fingerprint) != 1) {
        std::fprintf(stderr, "vesk-keygen: '%s' is not a PKCS #1 DER RSA key\n", source.c_str());
        return false;
    }
    std::printf("%s\n", fingerprint);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine options("vesk-keygen",
                        "Writes a server's persistent RSA key pair and prints its fingerprint.\n"
                        "FILE gets the private key (mode 0600), FILE.pub the public key, both PKCS #1 DER.",
                        {{"out", "FILE", "write the private key to FILE and the public key to FILE.pub"},
                         {"bits", "N", "modulus size, 1024 to 1280 (default 1024)"},
                         {"force", nullptr, "replace existing files"},
                         {"fingerprint", "FILE", "print the fingerprint of a key file (private or public) and stop"}},
                        "\nThe fingerprint is the SHA-256 of the public key file, in lowercase hex.\n");
    const auto parsed = options.Parse(argc, argv);
    if (parsed != CommandLine::Result::kRun)
        return CommandLine::ExitStatus(parsed);
    if (options.Has("fingerprint")) {
        const std::string path = options.Text("fingerprint");
        KeyBytes key(0);
        return ReadKeyFile(path, key) && PrintFingerprint(key.bytes, path) ? 0 : 1;
    }
    long bits = 0;
    if (!options.Require("out") || !options.Number("bits", 1024, 1280, 1024, bits))
        return 2;
    const std::string private_path = options.Text("out");
    const std::string public_path = private_path + ".pub";
    const bool replace = options.Has("force");

    KeyBytes private_key(kDerCapacity);
    std::vector<unsigned char> public_key(kDerCapacity);
    int private_length = 0;
    int public_length = 0;
    if (RSA_generate_key_der(static_cast<int>(bits), 65537, private_key.bytes.data(), &private_length,
                             public_key.data(), &public_length) <= 0) {
        std::fprintf(stderr, "vesk-keygen: cannot generate the key pair\n");
        return 1;
    }
    private_key.bytes.resize(static_cast<size_t>(private_length));
    public_key.resize(static_cast<size_t>(public_length));
    // The private file first: a public key without its private half serves
    // nobody, and neither does a private key whose public file failed.
    if (!WriteKeyFile(private_path, private_key.bytes, 0600, replace))
        return 1;
    if (!WriteKeyFile(public_path, public_key, 0644, replace)) {
        ::unlink(private_path.c_str());
        return 1;
    }
    std::printf("private key: %s\npublic key: %s\nfingerprint: ", private_path.c_str(), public_path.c_str());
    return PrintFingerprint(public_key, public_path) ? 0 : 1;
}
