#pragma once

#include <string>

namespace mysqlchild {

// Asked when a signal interrupts an open that waits (for a FIFO's other
// end): the number of the stop signal that arrived, or 0 to go on waiting.
using StopCheck = int (*)();

// open(2) that a stop signal ends: -1 with errno EINTR and *stopSignal set.
int OpenUnlessStopped(const char* path, int flags, StopCheck stopped, int* stopSignal);

// --output FILE: the tool's output goes to a temporary file beside FILE,
// created 0600 (a backup holds the database's data), and is renamed over
// FILE only when every tool succeeded, so that a failed or interrupted run
// leaves an earlier FILE as it was. A FILE that exists and is no regular file
// (/dev/null, a pipe) cannot be replaced and is written directly.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // -1 with errno when neither the temporary file nor FILE can be opened
    // (EINTR with *stopSignal set when a stop signal came first).
    int Open(const std::string& given, StopCheck stopped, int* stopSignal);

    int fd() const { return m_fd; }

    // Puts the output in place: its bytes on disk first, then the name, then
    // the folder entry, so that a crash leaves either the old file or the
    // whole new one. False with a message when any step fails (the
    // temporary file is removed).
    bool Commit(std::string& error);

    void Discard();

private:
    std::string m_path;
    std::string m_folder;
    std::string m_tempPath;  // empty once renamed, or when FILE is written directly
    int m_fd = -1;
};

}  // namespace mysqlchild
