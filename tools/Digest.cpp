#include "tools/Digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace mysqlchild {

namespace {

// As the pipe the library's output relay gathers in: a relay call's bytes fit
// the copy pipe at once, so that its tee does not wait for the reader piece
// by piece.
constexpr int kPipeSize = 1024 * 1024;
// Read on the thread's own stack, so that no allocation can fail there.
constexpr size_t kReadSize = 256 * 1024;

EVP_MD_CTX* Context(void* p)
{
    return static_cast<EVP_MD_CTX*>(p);
}

}  // namespace

StreamDigest::~StreamDigest()
{
    std::string ignored;
    if (m_thread.joinable())
        Finish(ignored);
    for (int& fd : m_pipe)
        if (fd >= 0)
            close(fd);
    EVP_MD_CTX_free(Context(m_context));
}

bool StreamDigest::Start(const std::string& algorithm, std::string& why)
{
    const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
    if (md == nullptr) {
        why = "OpenSSL has no digest " + algorithm;
        return false;
    }
    m_context = EVP_MD_CTX_new();
    if (m_context == nullptr || EVP_DigestInit_ex(Context(m_context), md, nullptr) != 1) {
        why = "OpenSSL cannot start a " + algorithm + " digest";
        return false;
    }
    if (pipe2(m_pipe, O_CLOEXEC) != 0) {
        why = std::string("cannot make a pipe for the digest: ") + strerror(errno);
        return false;
    }
    fcntl(m_pipe[0], F_SETPIPE_SZ, kPipeSize);  // best effort, as the library's
    try {
        m_thread = std::thread([this] { Read(); });
    } catch (const std::system_error& e) {
        why = std::string("cannot start the digest's thread: ") + e.what();
        return false;
    }
    return true;
}

// Reads to the end however the digest fares: a copy pipe left full would
// hold the relay up for good. A pipe that cannot be read is closed instead,
// which fails the relay (EPIPE) rather than leaving it blocked.
void StreamDigest::Read()
{
    char buffer[kReadSize];
    for (;;) {
        const ssize_t n = read(m_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = errno;
            close(m_pipe[0]);
            m_pipe[0] = -1;
            break;
        }
        if (n == 0)
            break;
        if (m_error == 0 && EVP_DigestUpdate(Context(m_context), buffer, static_cast<size_t>(n)) != 1)
            m_error = -1;
    }
}

std::string StreamDigest::Finish(std::string& why)
{
    if (!m_thread.joinable()) {
        why = "the digest was not started";
        return std::string();
    }
    close(m_pipe[1]);
    m_pipe[1] = -1;
    m_thread.join();
    if (m_error != 0) {
        why = m_error > 0 ? std::string("reading the copy for the digest failed: ") + strerror(m_error)
                          : std::string("OpenSSL failed to digest the stream");
        return std::string();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(Context(m_context), digest, &length) != 1) {
        why = "OpenSSL failed to finish the digest";
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string CheckLine(const std::string& hex, const std::string& name)
{
    if (name.find_first_of("\\\n") == std::string::npos)
        return hex + "  " + name + "\n";
    std::string escaped;
    for (char c : name)
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return "\\" + hex + "  " + escaped + "\n";
}

}  // namespace mysqlchild
