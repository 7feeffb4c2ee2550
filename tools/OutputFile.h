#pragma once

#include <sys/types.h>

#include <string>

namespace mysqlchild {

// mysqlchild often runs as root, and the files it is given may sit in a
// folder another account can write (a shared folder, a user's own): that
// account can plant a link, a FIFO or a file under the name, or swap one for
// another between two steps. So a path is resolved once, component by
// component, and every later step works on what was opened and checked:
//
// - A symbolic link, wherever it stands on the way, is followed only when it
//   belongs to the caller or to root (EPERM otherwise), at most 40 of them.
//   The kernel's own links under /proc (/dev/stdout leads to one) name an
//   open file rather than a path and are followed by the kernel.
// - What the final name holds is opened without following a link, checked
//   with fstat, and reopened through that very descriptor, so that nothing
//   can be swapped in between.
// - Anything but a regular file (a FIFO, a device) is used only when it
//   belongs to the caller or to root: a FIFO planted by another account is
//   refused without waiting for its other end.
//
// Each opener gives -1 with errno, and a message for the user in why, when
// it refuses or fails.

// Asked when a signal interrupts an open that waits (for a FIFO's other
// end): the number of the stop signal that arrived, or 0 to go on waiting.
using StopCheck = int (*)();

// open(2) that a stop signal ends: -1 with errno EINTR and *stopSignal set.
int OpenUnlessStopped(const char* path, int flags, StopCheck stopped, int* stopSignal);

// --input FILE, for reading: a regular file of any owner, or a FIFO or
// device of the caller's or root's (a FIFO waits for its writer, or for a
// stop signal: EINTR with *stopSignal set).
int OpenInputFile(const std::string& path, StopCheck stopped, int* stopSignal, std::string& why);

// --output FILE. The tool's output goes to a temporary file, mode 0600 (a
// backup holds the database's data), in FILE's folder, which is renamed over
// FILE only when every tool succeeded: a failed or interrupted run leaves an
// earlier FILE as it was. Written in place instead, as they cannot be
// replaced: a FILE that is no regular file (/dev/null, a FIFO), and a file
// reached through a /proc link (appended to). FILE that is this program's
// own standard output (/dev/stdout, or the file it was redirected to) is
// written through descriptor 1, which keeps its mode (>> stays appending).
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The descriptor to write to (EINTR with *stopSignal set when a stop
    // signal ended the wait for a FIFO's reader).
    int Open(const std::string& path, StopCheck stopped, int* stopSignal, std::string& why);

    int fd() const { return m_fd; }

    // Puts the output in place: its bytes on disk first, then the name, then
    // the folder entry, so that a crash leaves either the old file or the
    // whole new one. False with a message when a step fails: the temporary
    // file is removed, except when only the rename failed (FILE a mount
    // point, on another file system...): the finished output then stays
    // under the temporary name, which the message gives. stopped is asked
    // last, just before the rename: a stop signal it reports leaves FILE as
    // it was (false, *stopSignal set, the temporary removed).
    bool Commit(std::string& error, StopCheck stopped, int* stopSignal);

    // Whether Commit renames a temporary over FILE (not for an output
    // written in place), and FILE's name in its folder.
    bool Replaces() const { return !m_tempName.empty(); }
    const std::string& Name() const { return m_name; }

    // A small file named FILE and suffix (FILE.sha256) put in place by the
    // same Commit: written and synced under a temporary name before FILE is
    // replaced, an earlier one removed just before FILE is, and renamed in
    // right after it, so that a new digest never stands beside an old FILE.
    // A companion that cannot be written fails the Commit, FILE untouched;
    // one that cannot be renamed in once FILE is in place is said by
    // CompanionError. Only for an output that Replaces().
    void AddCompanion(const std::string& suffix, const std::string& content);
    const std::string& CompanionError() const { return m_companionError; }

    // Removes the temporary file. Its descriptor stays open until the object
    // goes, since another thread may still be writing to it.
    void Discard();

private:
    bool WriteCompanion(const std::string& name, std::string& temp, std::string& error);

    int m_fd = -1;
    bool m_borrowed = false;    // descriptor 1: neither closed nor replaced
    int m_folder = -1;          // FILE's folder, opened once (O_PATH)
    std::string m_folderShown;  // and its path, for messages
    std::string m_name;         // FILE's name in it
    std::string m_tempName;     // the temporary's; empty once renamed, kept or removed
    std::string m_companionSuffix;
    std::string m_companionContent;
    std::string m_companionError;
    dev_t m_tempDev = 0;
    ino_t m_tempIno = 0;
};

}  // namespace mysqlchild
