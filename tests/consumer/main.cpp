// A program built against the installed package only: it finds the headers
// and libraries through MySqlProcess::MySqlProcess (or pkg-config) and runs
// one real child, and as root one as another user.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "child_process/MySqlChildProcess.h"
#include "host/LogWriter.h"

int main()
{
    CLogWriterInterface* writer = g_ptrLogWriter.get();
    if (writer == nullptr || writer->GetWriterStatus() < 0) {
        fprintf(stderr, "the host's log writer is missing\n");
        return 2;
    }
    if (GETCURRENTTHREADID() != static_cast<int>(getpid())) {
        fprintf(stderr, "GETCURRENTTHREADID gave %d, not the process id\n", GETCURRENTTHREADID());
        return 3;
    }

    LibMySqlProcess::MySqlChildProcess child;
    if (child.Initialize("/bin/echo hello from the consumer", "", "") != 0) {
        fprintf(stderr, "Initialize failed, lastErr %d\n", child.m_lastErr.load());
        return 4;
    }
    printf("error file: %s\n", child.m_errFilePath.c_str());
    if (child.HX_CreateProcess(false, false, false, false) != 0) {
        fprintf(stderr, "launch failed, lastErr %d\n", child.m_lastErr.load());
        return 5;
    }
    std::string output;
    char buffer[256];
    for (;;) {
        long length = sizeof buffer;
        if (child.ReadBuf(buffer, &length) != 0) {
            fprintf(stderr, "ReadBuf failed, lastErr %d\n", child.m_lastErr.load());
            return 6;
        }
        if (length == 0)
            break;
        output.append(buffer, static_cast<size_t>(length));
    }
    child.Finalize();
    if (child.Wait(0) != 0) {
        fprintf(stderr, "the child failed, lastErr %d\n", child.m_lastErr.load());
        return 7;
    }
    if (output != "hello from the consumer\n") {
        fprintf(stderr, "unexpected output [%s]\n", output.c_str());
        return 8;
    }
    printf("child said: %s", output.c_str());

    // As root, a tool run as another user goes through the launch helper,
    // which the installed library must find in the installed tree.
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr) {
            fprintf(stderr, "the user nobody is missing\n");
            return 9;
        }
        LibMySqlProcess::MySqlChildProcess other;
        if (other.Initialize("/usr/bin/id -u", "nobody", "") != 0 ||
            other.HX_CreateProcess(false, false, false, false) != 0) {
            fprintf(stderr, "launch as nobody failed, lastErr %d\n", other.m_lastErr.load());
            return 10;
        }
        long length = sizeof buffer;
        const int read = other.ReadBuf(buffer, &length);
        other.Finalize();
        const std::string expected = std::to_string(nobody->pw_uid) + "\n";
        if (other.Wait(0) != 0 || read != 0 || expected != std::string(buffer, static_cast<size_t>(length))) {
            fprintf(stderr, "the tool run as nobody said [%.*s], lastErr %d\n", static_cast<int>(length), buffer,
                    other.m_lastErr.load());
            return 11;
        }
        printf("as nobody: uid %s", expected.c_str());
    }
    return 0;
}
