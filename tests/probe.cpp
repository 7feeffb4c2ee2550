// A child for the tests. Modes (argv[1]):
//   report           print argc, every argument (escaped), the environment,
//                    the umask, the real/effective/saved ids, the groups, the
//                    blocked and ignored signals and the open descriptors
//                    with what they point at, as key=value
//   exit N           exit with code N
//   stderr N TEXT..  write the TEXTs, one per line, to standard error; exit N
//   cat              copy standard input to standard output
//   emit N           write N bytes (a repeating pattern) to standard output
//   sleep S          sleep S seconds
//   segv DIR         raise the core limit, change to DIR and crash
//   closed-stdin     close standard input, then sleep until killed
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Escape(const char* s)
{
    std::string out;
    for (; *s != '\0'; ++s) {
        if (*s == '\t')
            out += "\\t";
        else if (*s == '\n')
            out += "\\n";
        else if (*s == '\\')
            out += "\\\\";
        else
            out += *s;
    }
    return out;
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int Report(int argc, char** argv)
{
    std::string out;
    out += "argc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i)
        out += "arg=" + Escape(argv[i]) + "\n";
    for (char** e = environ; *e != nullptr; ++e)
        out += "env=" + Escape(*e) + "\n";
    mode_t mask = umask(0);
    umask(mask);
    char octal[16];
    snprintf(octal, sizeof octal, "%03o", static_cast<unsigned>(mask));
    out += std::string("umask=") + octal + "\n";
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    out += "uid=" + std::to_string(ruid) + "\neuid=" + std::to_string(euid) + "\nsuid=" + std::to_string(suid) + "\n";
    out += "gid=" + std::to_string(rgid) + "\negid=" + std::to_string(egid) + "\nsgid=" + std::to_string(sgid) + "\n";
    // The signal mask and the ignored signals, as hexadecimal sets.
    if (FILE* status = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr)
            if (strncmp(line, "SigBlk:", 7) == 0 || strncmp(line, "SigIgn:", 7) == 0)
                out += std::string(line, 6) + "=" + std::to_string(strtoull(line + 7, nullptr, 16)) + "\n";
        fclose(status);
    }
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        out += "group=" + std::to_string(groups[i]) + "\n";
    // What spares a busy database: priorities, limits, privileges, group.
    errno = 0;
    out += "nice=" + std::to_string(getpriority(PRIO_PROCESS, 0)) + "\n";
    out += "ioprio=" + std::to_string(syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, 0)) + "\n";
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        rlimit limit{};
        getrlimit(static_cast<__rlimit_resource>(resource), &limit);
        out += "limit=" + std::to_string(resource) + ":" + std::to_string(limit.rlim_cur) + ":" +
               std::to_string(limit.rlim_max) + "\n";
    }
    out += "no-new-privs=" + std::to_string(prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0)) + "\n";
    if (FILE* cgroups = fopen("/proc/self/cgroup", "r")) {
        char line[1024];
        while (fgets(line, sizeof line, cgroups) != nullptr)
            if (strncmp(line, "0::", 3) == 0)
                out += "cgroup=" + std::string(line + 3, strcspn(line + 3, "\n")) + "\n";
        fclose(cgroups);
    }
    // All of them, however many: their number and the sum of their ids.
    std::vector<gid_t> all(static_cast<size_t>(getgroups(0, nullptr)) + 1);
    const int count = getgroups(static_cast<int>(all.size()), all.data());
    unsigned long long sum = 0;
    for (int i = 0; i < count; ++i)
        sum += all[static_cast<size_t>(i)];
    out += "group-count=" + std::to_string(count) + "\ngroup-sum=" + std::to_string(sum) + "\n";
    if (DIR* dir = opendir("/proc/self/fd")) {
        int self = dirfd(dir);
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.' || atoi(e->d_name) == self)
                continue;
            char link[512] = {};
            std::string path = std::string("/proc/self/fd/") + e->d_name;
            ssize_t len = readlink(path.c_str(), link, sizeof link - 1);
            if (len < 0)
                len = 0;
            link[len] = '\0';
            out += std::string("fd=") + e->d_name + " " + link + "\n";
        }
        closedir(dir);
    } else {
        // No /proc (hidden by a test): every number a descriptor can have.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const long max = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > (1u << 20) ? 1L << 20 : static_cast<long>(limit.rlim_max);
        for (long fd = 0; fd < max; ++fd)
            if (fcntl(static_cast<int>(fd), F_GETFD) >= 0)
                out += "fd=" + std::to_string(fd) + "\n";
    }
    return WriteAll(1, out.data(), out.size()) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "report";
    if (mode == "report")
        return Report(argc, argv);
    if (mode == "exit")
        return argc > 2 ? atoi(argv[2]) : 0;
    if (mode == "stderr") {
        for (int i = 3; i < argc; ++i) {
            std::string line = std::string(argv[i]) + "\n";
            WriteAll(2, line.data(), line.size());
        }
        return argc > 2 ? atoi(argv[2]) : 0;
    }
    if (mode == "cat") {
        static char buf[1 << 16];
        for (;;) {
            ssize_t n = read(0, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? 4 : 0;
            if (!WriteAll(1, buf, static_cast<size_t>(n)))
                return 5;
        }
    }
    if (mode == "emit") {
        // emit TOTAL [PIECE]: in writes of at most PIECE bytes (the dump
        // tool's 4 KiB), by default as much as the buffer holds.
        long long total = argc > 2 ? atoll(argv[2]) : 0;
        static char buf[1 << 16];
        size_t piece = argc > 3 ? static_cast<size_t>(atoll(argv[3])) : sizeof buf;
        if (piece == 0 || piece > sizeof buf - 26)
            piece = sizeof buf - 26;
        for (size_t i = 0; i < sizeof buf; ++i)
            buf[i] = static_cast<char>('a' + i % 26);
        long long done = 0;
        while (done < total) {
            // The pattern continues across writes: offset i holds 'a' + i % 26.
            const size_t shift = static_cast<size_t>(done % 26);
            const size_t chunk = static_cast<size_t>(std::min<long long>(total - done, static_cast<long long>(piece)));
            if (!WriteAll(1, buf + shift, chunk))
                return 5;
            done += static_cast<long long>(chunk);
        }
        return 0;
    }
    if (mode == "sleep") {
        sleep(argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 30);
        return 0;
    }
    if (mode == "segv") {
        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &unlimited);
        if (argc > 2 && chdir(argv[2]) != 0)
            return 6;
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
        return 7;
    }
    if (mode == "closed-stdin") {
        close(0);
        for (;;)
            pause();
    }
    fprintf(stderr, "probe: unknown mode %s\n", mode.c_str());
    return 2;
}
