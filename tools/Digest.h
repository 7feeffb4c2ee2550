#pragma once

#include <string>
#include <thread>

namespace mysqlchild {

// A digest of a stream taken while it flows (--checksum): the library's
// output relay duplicates what it moves into this object's pipe in the
// kernel (SetOutputCopy), and a thread of this object's reads the pipe into
// OpenSSL's digest. The bytes reach the output whether or not the digest
// keeps up; a full pipe only holds the relay up.
class StreamDigest {
public:
    StreamDigest() = default;
    ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    // algorithm by OpenSSL's name (sha256, sha512, blake2b512). False with
    // the reason when the digest, the pipe or the thread cannot be had.
    bool Start(const std::string& algorithm, std::string& why);
    // The pipe to copy into; -1 before Start.
    int CopyPipe() const { return m_pipe[1]; }
    // Once nothing is copied any more: ends the pipe, waits for the thread
    // and gives the digest in lowercase hex, or empty with the reason.
    std::string Finish(std::string& why);

private:
    void Read();

    int m_pipe[2] = {-1, -1};
    void* m_context = nullptr;  // EVP_MD_CTX
    std::thread m_thread;
    int m_error = 0;  // errno of a failed read, or -1 for a failed digest update
};

// A line of a *sum tool's check file for name: "HEX  NAME", escaped as
// sha256sum does when the name holds a backslash or a newline.
std::string CheckLine(const std::string& hex, const std::string& name);

}  // namespace mysqlchild
