// mysqlchild, run as its users run it: its arguments, how it reports each
// tool's end, the data it streams, how it stops a chain, and the files it is
// given: links, FIFOs and names that another account plants or swaps where
// root writes a backup or reads a dump, its own standard output as the output
// file, names as long as a folder entry may be, a file that cannot be
// replaced, and runs that must not share an error file.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace {

using namespace testsupport;

constexpr uid_t kNobody = 65534;

struct Result {
    int code = -1;  // exit code, 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs mysqlchild with each standard descriptor as given: -1 closed, else
// that descriptor. Its pid.
pid_t SpawnWithStreams(const std::vector<std::string>& args, const int streams[3])
{
    std::vector<std::string> all{MYSQLCHILD_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
        if (streams[fd] < 0)
            posix_spawn_file_actions_addclose(&actions, fd);
        else
            posix_spawn_file_actions_adddup2(&actions, streams[fd], fd);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Starts mysqlchild with args in the background: standard input from
// /dev/null, standard output on outFd when one is given, else to outPath,
// standard error to errPath. Its pid, or -1.
pid_t StartMysqlchild(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
                      int outFd = -1)
{
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = outFd >= 0 ? outFd : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int streams[3] = {in, out, err};
    const pid_t pid = in >= 0 && out >= 0 && err >= 0 ? SpawnWithStreams(args, streams) : -1;
    for (int fd : {in, outFd >= 0 ? -1 : out, err})
        if (fd >= 0)
            close(fd);
    return pid;
}

// The exit code a shell would show: the code, or 128 + signal; -1 for a
// status WaitWithDeadline gives when it had to kill or could not wait.
int ShellCode(int status)
{
    if (status < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs mysqlchild with args, its standard output on outFd when one is given,
// else captured. No gtest checks inside: forked cases use it too.
Result RunMysqlchild(const std::vector<std::string>& args, const std::string& scratch, int outFd = -1)
{
    const std::string outPath = scratch + "/mysqlchild.out";
    const std::string errPath = scratch + "/mysqlchild.err";
    const pid_t pid = StartMysqlchild(args, outPath, errPath, outFd);
    Result r;
    if (pid < 0)
        return r;
    // Only a hang turns into a failure here: mysqlchild waiting for a FIFO.
    r.code = ShellCode(WaitWithDeadline(pid, 60));
    r.out = outFd >= 0 ? "" : ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The attacker's step: fn as nobody, in a forked copy of the test.
int AsNobody(const std::function<bool()>& fn)
{
    return RunInSubprocess(
        [&] {
            if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                return 90;
            return fn() ? 0 : 1;
        },
        30);
}

// Everything a FIFO holds now, without waiting.
std::string Drain(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

const char kSecret[] = "root's own secret\n";
const char kDump[] = "/bin/echo the dump";

class MysqlchildFiles : public ::testing::Test {
protected:
    HostEnv env;
    TempDir scratch;
};

// Root writes a backup into (or reads a dump from) a folder that nobody
// owns, next to a file of root's alone.
class MysqlchildAgainstNobody : public MysqlchildFiles {
protected:
    void SetUp() override
    {
        if (!IsRoot())
            GTEST_SKIP() << "planting as another account needs root";
        shared = base / "shared";
        secret = base / "secret";
        ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
        ASSERT_EQ(chown(shared.c_str(), kNobody, kNobody), 0);
        WriteFile(secret, kSecret, 0600);
    }

    std::string In(const std::string& name) const { return shared + "/" + name; }

    TempDir base;
    std::string shared;
    std::string secret;
};

// A link is followed only when every link on the way is root's (or the
// caller's): nobody's own, and nobody's behind one of root's, are not.
TEST_F(MysqlchildAgainstNobody, LinksOfAnotherAccountAreNeverFollowed)
{
    ASSERT_EQ(AsNobody([&] {
                  return symlink(secret.c_str(), In("direct").c_str()) == 0 &&
                         symlink(secret.c_str(), In("hop").c_str()) == 0;
              }),
              0);
    ASSERT_EQ(symlink(In("hop").c_str(), (base / "root-link").c_str()), 0);
    // Where the backup goes in root's own folder, handed over to nobody.
    ASSERT_EQ(symlink(secret.c_str(), (base / "given-away").c_str()), 0);
    ASSERT_EQ(lchown((base / "given-away").c_str(), kNobody, kNobody), 0);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"--output", In("direct")},
        {"--output", base / "root-link"},
        {"--output", base / "given-away"},
        {"--input", In("direct")},
        {"--input", base / "root-link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        const Result r = RunMysqlchild({c.first, c.second, c.first == std::string("--input") ? "/bin/cat" : kDump},
                                       scratch.path());
        EXPECT_EQ(r.code, 125) << r.err;
        EXPECT_TRUE(Contains(r.err, "Operation not permitted: the link ")) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFile(secret), kSecret);
    }

    // Root's own links are followed, however many: the file at the end is
    // replaced, the links stay.
    WriteFile(base / "target", "last night's\n", 0644);
    ASSERT_EQ(symlink((base / "target").c_str(), (base / "second").c_str()), 0);
    ASSERT_EQ(symlink("second", (base / "first").c_str()), 0);
    const Result r = RunMysqlchild({"--output", base / "first", kDump}, scratch.path());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadFile(base / "target"), "the dump\n");
    struct stat st {};
    EXPECT_TRUE(lstat((base / "first").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(lstat((base / "second").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

// A FIFO nobody planted receives nothing and is not waited on, whether its
// other end is open or not; root's own is written in place.
TEST_F(MysqlchildAgainstNobody, FifoOfAnotherAccountIsRefusedWithoutWaiting)
{
    ASSERT_EQ(AsNobody([&] {
                  return mkfifo(In("read").c_str(), 0666) == 0 && mkfifo(In("unread").c_str(), 0666) == 0;
              }),
              0);
    const int reader = open(In("read").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"--output", In("read")},
        {"--output", In("unread")},
        {"--input", In("unread")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        const Result r = RunMysqlchild({c.first, c.second, c.first == std::string("--input") ? "/bin/cat" : kDump},
                                       scratch.path());
        EXPECT_EQ(r.code, 125) << r.err;
        EXPECT_TRUE(Contains(r.err, "Operation not permitted: the FIFO ")) << r.err;
    }
    EXPECT_EQ(Drain(reader), "") << "nobody's FIFO got root's dump";
    close(reader);

    ASSERT_EQ(mkfifo((base / "root-fifo").c_str(), 0600), 0);
    const int rootReader = open((base / "root-fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rootReader, 0);
    const Result r = RunMysqlchild({"--output", base / "root-fifo", kDump}, scratch.path());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Drain(rootReader), "the dump\n");
    close(rootReader);
}

// nobody's side of a race: each Swap() exchanges two names in nobody's
// folder once (rename(2) with RENAME_EXCHANGE: both names always exist).
class Swapper {
public:
    Swapper(const std::string& a, const std::string& b)
    {
        if (pipe2(m_go, O_CLOEXEC) != 0 || pipe2(m_done, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(m_go[1]);
            close(m_done[0]);
            if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(90);
            char c;
            while (read(m_go[0], &c, 1) == 1) {
                c = renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 1 : 0;
                if (write(m_done[1], &c, 1) != 1)
                    break;
            }
            _exit(0);
        }
    }
    ~Swapper()
    {
        for (int fd : {m_go[0], m_go[1], m_done[0], m_done[1]})
            if (fd >= 0)
                close(fd);
        if (m_pid > 0)
            WaitWithDeadline(m_pid);
    }
    bool Swap()
    {
        char c = 0;
        return m_pid > 0 && write(m_go[1], &c, 1) == 1 && read(m_done[0], &c, 1) == 1 && c == 1;
    }

private:
    pid_t m_pid = -1;
    int m_go[2] = {-1, -1};
    int m_done[2] = {-1, -1};
};

// Runs mysqlchild under ptrace and calls atEntry at the entry of each of its
// system calls (the registers hold the call's number and arguments). The code
// is -2 when this process may not trace.
Result RunMysqlchildTraced(const std::vector<std::string>& args, const std::string& scratch,
                           const std::function<void(pid_t, const user_regs_struct&)>& atEntry)
{
    std::vector<std::string> all{MYSQLCHILD_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // The leak checker stops the program's threads with ptrace, which the
    // tracer here already holds.
    const char* asan = getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    const std::string outPath = scratch + "/mysqlchild.out";
    const std::string errPath = scratch + "/mysqlchild.err";
    Result r;
    const pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(125);
        raise(SIGSTOP);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status) ||
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC) != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        r.code = -2;
        return r;
    }
    int deliver = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) != 0 || waitpid(pid, &status, 0) != pid)
            break;
        deliver = 0;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            user_regs_struct regs {};
            // At the entry the kernel has put -ENOSYS where the result goes.
            if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0 &&
                regs.rax == static_cast<unsigned long long>(-ENOSYS))
                atEntry(pid, regs);
            continue;
        }
        if ((status >> 16) == 0)
            deliver = WSTOPSIG(status);  // a signal for the program, not a ptrace event
    }
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

// Stops mysqlchild at the entry of every openat(2) of a path whose last
// component is name: there the attacker acts, at the worst moment for a
// program that checks a name and then opens it.
Result RunMysqlchildAttackedAtEachOpen(const std::vector<std::string>& args, const std::string& scratch,
                                       const std::string& name, const std::function<void()>& attack, int* attacks)
{
    return RunMysqlchildTraced(args, scratch, [&](pid_t pid, const user_regs_struct& regs) {
        if (regs.orig_rax != SYS_openat)
            return;
        char path[4096] = {};
        iovec local{path, sizeof path - 1};
        iovec remote{reinterpret_cast<void*>(regs.rsi), sizeof path - 1};
        if (process_vm_readv(pid, &local, 1, &remote, 1, 0) <= 0)
            return;
        const std::string opened(path);
        if (opened == name || (opened.size() > name.size() &&
                               opened.compare(opened.size() - name.size() - 1, std::string::npos, "/" + name) == 0)) {
            attack();
            ++*attacks;
        }
    });
}

// Root's FIFO in nobody's folder, and nobody's link to root's secret: nobody
// exchanges the two names just before every open of the name mysqlchild is
// given. What mysqlchild checked is what it opens: it refuses the link, or
// writes into the FIFO, and never through the link.
TEST_F(MysqlchildAgainstNobody, FifoSwappedForALinkIsNeverWrittenThrough)
{
    if (UnderValgrind())
        GTEST_SKIP() << "ptrace from under valgrind";
    ASSERT_EQ(mkfifo(In("race").c_str(), 0600), 0);
    const int reader = open(In("race").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(AsNobody([&] { return symlink(secret.c_str(), In("other").c_str()) == 0; }), 0);
    Swapper nobody(In("race"), In("other"));
    struct Case {
        const char* name;
        int code;
        const char* fifoGets;
    };
    const Case cases[] = {
        {"the FIFO stands there, then the link", 125, ""},
        {"the link stands there, then the FIFO", 0, "the dump\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HangGuard guard(60, c.name);
        int attacks = 0;
        const Result r = RunMysqlchildAttackedAtEachOpen({"--output", In("race"), kDump}, scratch.path(), "race",
                                                         [&] { EXPECT_TRUE(nobody.Swap()); }, &attacks);
        if (r.code == -2)
            GTEST_SKIP() << "this process may not trace another";
        EXPECT_GT(attacks, 0) << "the name was never opened";
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(ReadFile(secret), kSecret) << "written through nobody's link";
        EXPECT_EQ(Drain(reader), c.fifoGets);
        // Next case: the other object at the name.
        if (attacks % 2 == 0) {
            ASSERT_TRUE(nobody.Swap());
        }
    }
    close(reader);
}

// Descriptor 1 redirected to a file (>> log): by whatever name, that file is
// appended to through the descriptor, not replaced, and keeps its mode.
TEST_F(MysqlchildFiles, OwnStandardOutputIsWrittenThroughItsDescriptor)
{
    const std::string log = scratch / "log";
    for (const std::string& name : {std::string("/dev/stdout"), std::string("/proc/self/fd/1"), log}) {
        SCOPED_TRACE(name);
        WriteFile(log, "earlier\n", 0644);
        ASSERT_EQ(chmod(log.c_str(), 0644), 0);
        struct stat before {}, after {};
        ASSERT_EQ(stat(log.c_str(), &before), 0);
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const Result r = RunMysqlchild({"--output", name, kDump}, scratch.path(), fd);
        close(fd);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ReadFile(log), "earlier\nthe dump\n");
        ASSERT_EQ(stat(log.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
        EXPECT_EQ(after.st_mode & 07777, 0644u);
    }
}

// mysqlchild's own standard output is written through its descriptor, but
// only when the path leads there by links the walk accepts: nobody's link to
// /dev/null (cron's usual standard output) or to root's appended log is
// refused like any other, and neither the dump nor the log goes astray.
TEST_F(MysqlchildAgainstNobody, OwnStandardOutputBehindAnotherAccountsLinkIsRefused)
{
    ASSERT_EQ(AsNobody([&] {
                  return symlink("/dev/null", In("dump.sql").c_str()) == 0 &&
                         symlink(secret.c_str(), In("log.sql").c_str()) == 0;
              }),
              0);
    for (const char* target : {"/dev/null", "secret"}) {
        SCOPED_TRACE(target);
        const bool toLog = strcmp(target, "secret") == 0;
        const int fd = toLog ? open(secret.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC) : open("/dev/null", O_WRONLY);
        ASSERT_GE(fd, 0);
        const Result r = RunMysqlchild({"--output", In(toLog ? "log.sql" : "dump.sql"), kDump}, scratch.path(), fd);
        close(fd);
        EXPECT_EQ(r.code, 125) << r.err;
        EXPECT_TRUE(Contains(r.err, "belongs to another account")) << r.err;
        EXPECT_EQ(ReadFile(secret), kSecret);
    }
}

// A stop signal that arrives before the output replaces FILE (here in its
// sync) leaves FILE as it was and says so in the exit status; one that
// arrives after the rename (in the folder's sync) changes nothing.
TEST_F(MysqlchildFiles, StopSignalBeforeTheRenameKeepsTheFileAfterItIsTooLate)
{
    if (UnderValgrind())
        GTEST_SKIP() << "ptrace from under valgrind";
    const std::string out = scratch / "dump.sql";
    struct Case {
        int atSync;  // the fsync(2) whose entry the signal comes at
        int code;
        const char* content;
    };
    for (const Case& c : {Case{1, 128 + SIGTERM, "last night's\n"}, Case{2, 0, "the dump\n"}}) {
        SCOPED_TRACE(c.atSync);
        WriteFile(out, "last night's\n", 0600);
        int syncs = 0;
        const Result r = RunMysqlchildTraced({"--output", out, kDump}, scratch.path(),
                                             [&](pid_t pid, const user_regs_struct& regs) {
                                                 if (regs.orig_rax == SYS_fsync && ++syncs == c.atSync)
                                                     kill(pid, SIGTERM);
                                             });
        if (r.code == -2)
            GTEST_SKIP() << "this process may not trace another";
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(ReadFile(out), c.content);
        EXPECT_EQ(FolderEntries(scratch.path()).size(), 3u) << "a temporary was left beside the output";
    }
}

// A name may be as long as a folder entry allows; the temporary name beside
// it is shortened to fit.
TEST_F(MysqlchildFiles, OutputNamesUpToNameMaxWork)
{
    for (size_t length : {size_t{236}, size_t{238}, size_t{255}}) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string name(length, 'n');
        const Result r = RunMysqlchild({"--output", dir / name, kDump}, scratch.path());
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ReadFile(dir / name), "the dump\n");
        EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{name}) << "a temporary file is left";
    }
}

// A FILE the rename cannot replace (here a bind mount: EBUSY) fails the run,
// but the finished output stays, under the name the message gives.
TEST_F(MysqlchildFiles, OutputThatCannotBeReplacedIsKeptUnderAPrintedName)
{
    if (!IsRoot())
        GTEST_SKIP() << "a bind mount needs root";
    TempDir dir;
    const std::string target = dir / "backup.sql";
    WriteFile(target, "last night's\n", 0644);
    WriteFile(dir / "mounted", "mounted\n", 0644);
    const int rc = RunInSubprocess(
        [&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount((dir / "mounted").c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return 90;
            const Result r = RunMysqlchild({"--output", target, kDump}, scratch.path());
            WriteFile(dir / "err", r.err);
            return r.code;
        },
        60);
    if (rc == 90)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(rc, 125);
    const std::string err = ReadFile(dir / "err");
    const std::string says = "the finished output is kept as ";
    const size_t at = err.find(says);
    ASSERT_NE(at, std::string::npos) << err;
    const std::string kept = err.substr(at + says.size(), err.find(';', at) - at - says.size());
    EXPECT_EQ(kept.rfind(dir.path() + "/.backup.sql.mysqlchild-", 0), 0u) << kept;
    EXPECT_EQ(ReadFile(kept), "the dump\n");
    EXPECT_EQ(ReadFile(target), "last night's\n");
}

// Without a job id of the host's, each run takes one of its own: two runs
// never share a job folder, so never an error file either.
TEST_F(MysqlchildFiles, RunsWithoutAJobIdNeverShareAnErrorFile)
{
    auto errorFolder = [&] {
        const Result r = RunMysqlchild({"/bin/sh -c \"echo ERROR 1045 >&2; exit 3\""}, scratch.path());
        EXPECT_EQ(r.code, 3) << r.err;
        const std::string says = "mysqlchild: error file: ";
        const size_t at = r.err.find(says);
        if (at == std::string::npos)
            return std::string("(none) ") + r.err;
        const std::string path = r.err.substr(at + says.size(), r.err.find('\n', at) - at - says.size());
        return path.substr(0, path.rfind('/'));
    };
    EXPECT_EQ(errorFolder(), env.jobFolder()) << "HX_JOB_ID is used when set";
    ScopedEnv noJob("HX_JOB_ID", nullptr);
    const std::string first = errorFolder();
    const std::string second = errorFolder();
    EXPECT_EQ(first.rfind(env.resultsDir() + "/HX_JobResults/2/0/", 0), 0u) << first;
    EXPECT_NE(first, env.resultsDir() + "/HX_JobResults/2/0/0");
    EXPECT_NE(first, second);
}

// After a run that succeeded its empty error file goes, with the job folder
// (--keep-errors keeps them); after a failure both stay and the path is
// printed.
TEST_F(MysqlchildFiles, OnlyAFailedRunLeavesItsErrorFile)
{
    ScopedEnv noJob("HX_JOB_ID", nullptr);
    const std::string jobs = env.resultsDir() + "/HX_JobResults/2/0";
    EXPECT_EQ(RunMysqlchild({"/bin/true"}, scratch.path()).code, 0);
    EXPECT_TRUE(FolderEntries(jobs).empty()) << "a succeeding run left its job folder";
    EXPECT_EQ(RunMysqlchild({"--keep-errors", "/bin/true"}, scratch.path()).code, 0);
    EXPECT_EQ(FolderEntries(jobs).size(), 1u) << "--keep-errors";
    const Result failed = RunMysqlchild({"/bin/false"}, scratch.path());
    EXPECT_EQ(failed.code, 1);
    EXPECT_TRUE(Contains(failed.err, "mysqlchild: error file: " + jobs + "/")) << failed.err;
    EXPECT_EQ(FolderEntries(jobs).size(), 2u);
}

// Without the host's variables, mysqlchild keeps its state where no other
// account can steer it: for a user other than root, its XDG state folder
// (for root /var/lib/mysqlchild and /var/log/mysqlchild).
TEST_F(MysqlchildFiles, WithoutHostVariablesStateStaysInTheUsersOwnFolder)
{
    if (!IsRoot())
        GTEST_SKIP() << "running as nobody needs root";
    const std::string state = scratch / "state";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    ASSERT_EQ(chown(state.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(scratch.path().c_str(), kNobody, kNobody), 0);
    const int rc = AsNobody([&] {
        ScopedEnv results("HX_JOB_RESULTS_DIR", nullptr);
        ScopedEnv log("HX_DEBUG_LOG", nullptr);
        ScopedEnv xdg("XDG_STATE_HOME", state.c_str());
        const Result r = RunMysqlchild({"/bin/sh -c \"echo ERROR here >&2; exit 3\""}, scratch.path());
        return r.code == 3 && Contains(r.err, "error file: " + state + "/mysqlchild/HX_JobResults/2/0/") &&
               !ReadFile(state + "/mysqlchild/debug.log").empty();
    });
    EXPECT_EQ(rc, 0);
}

// ---------------------------------------------------------------------------
// Arguments, exit statuses, streaming and stops

class MysqlChildProgram : public MysqlchildFiles {
protected:
    Result Run(const std::vector<std::string>& args) { return RunMysqlchild(args, scratch.path()); }
};

// A dry run shows each tool of a chain as the library will run it, and
// runs nothing.
TEST_F(MysqlChildProgram, DryRunShowsEachToolAndRunsNothing)
{
    ScopedEnv noJob("HX_JOB_ID", nullptr);
    const Result r = Run({"--dry-run", "--user", "mysql", "--env", "system", "--output", "out.sql.zst", "--pipe-to",
                          "/usr/bin/zstd -q", "--pipe-user", "root",
                          "/usr/bin/mysqldump --password=s3cret --execute=\"a b\" shop"});
    EXPECT_EQ(r.code, 0) << r.err;
    for (const char* line : {"tool 1: /usr/bin/mysqldump\n  user: mysql\n",
                             "  argument 1: --password=*****\n  argument 2: --execute=a b\n  argument 3: shop\n",
                             "tool 2: /usr/bin/zstd\n  user: root\n  environment: system", "output: /"})
        EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
    EXPECT_FALSE(Contains(r.out, "s3cret"));
    EXPECT_TRUE(FolderEntries(env.resultsDir()).empty()) << "a dry run prepared a job folder";
}

// mysqlchild's own failures exit 125, as timeout(1) and env(1) have it, so
// that a script tells them from a tool's own code; a habit of the shell
// that led there gets a hint.
TEST_F(MysqlChildProgram, BadArgumentsGetAClearMessageAndExit125)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command line given"},
        {{"/bin/echo a", "/bin/echo b"}, "give the command line as one argument"},
        {{"   "}, "the command line is empty"},
        {{"--env", "bogus", "/bin/true"}, "--env must be inherit, system or base"},
        {{"/bin/true", "--input"}, "option --input needs a value"},
        {{"--frobnicate", "/bin/true"}, "unknown option '--frobnicate'"},
        {{"--input", "/nonexistent/dump.sql", "/bin/true"}, "cannot open the input file '/nonexistent/dump.sql'"},
        {{"--output", "/nonexistent/dir/out", "/bin/true"}, "cannot create the output file"},
        {{"--pipe-user", "mysql", "/bin/true"}, "--pipe-user needs --pipe-to"},
        {{std::string(3000, 'x')}, "the command line is longer than 2999 characters"},
        {{"--timeout", "0", "/bin/true"}, "--timeout needs a duration above 0 (90, 1.5m, 2h, 1d), not '0'"},
        {{"--timeout", "soon", "/bin/true"}, "--timeout needs a duration above 0 (90, 1.5m, 2h, 1d), not 'soon'"},
        {{"--timeout", "2w", "/bin/true"}, "--timeout needs a duration above 0"},
        {{"--grace", "-1", "/bin/true"}, "--grace needs a duration from 0 to 1d (10, 30s, 2m), not '-1'"},
        {{"--grace", "2d", "/bin/true"}, "--grace needs a duration from 0 to 1d"},
        {{"/usr/bin/mysql -e \"SELECT 1"}, "the command line leaves a double quote open at character 19"},
        {{"--pipe-to", "/usr/bin/mysql -e 'x", "/bin/true"}, "--pipe-to number 1 leaves a single quote open"},
        {{"/usr/bin/mysqlbinlog", "--stop-datetime", "2024-01-31 23:59:59"},
         "unknown option '--stop-datetime': --stop-datetime belongs inside the quoted command line, as "
         "--stop-datetime=DATE TIME"},
        {{"/usr/bin/mysql", "--batch"},
         "unknown option '--batch': if it is the tool's, quote the whole command line as one argument"},
        {{"--pipe-to", "/bin/cat", "--pipe-user", "a", "--pipe-user", "b", "/bin/true"},
         "--pipe-user is given twice for --pipe-to number 1"},
        {{"--nice", "25", "/bin/true"}, "--nice needs a whole number from -20 to 19, not '25'"},
        {{"--io-class", "idle:3", "/bin/true"}, "--io-class must be idle, best-effort[:0-7] or realtime[:0-7]"},
        {{"--limit", "nofile=5:3", "/bin/true"}, "--limit nofile: the soft limit is above the hard one"},
        {{"--limit", "files=5", "/bin/true"}, "--limit needs NAME=SOFT[:HARD]"},
        {{"--cgroup", "/tmp", "/bin/true"}, "--cgroup /tmp is not a cgroup v2 folder"},
        {{"--rate-limit", "10X", "/bin/true"}, "--rate-limit needs bytes per second, at least 1K"},
        {{"--rate-limit", "100", "/bin/true"}, "--rate-limit needs bytes per second, at least 1K"},
        {{"--expected-size", "0", "/bin/true"}, "--expected-size needs a size above 0"},
        {{"--min-bytes", "-1", "/bin/true"}, "--min-bytes needs a size (0, 1, 4K, 1M), not '-1'"},
        {{"--checksum", "md5", "/bin/true"}, "--checksum takes sha256, sha512, blake2b512, not 'md5'"},
        {{"--progress=fancy", "/bin/true"}, "--progress takes plain or json (or nothing, for a terminal)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        const Result r = Run(c.first);
        EXPECT_EQ(r.code, 125);
        EXPECT_TRUE(Contains(r.err, "mysqlchild: " + c.second)) << r.err;
        EXPECT_TRUE(Contains(r.err, "Try 'mysqlchild --help'")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(MysqlChildProgram, HelpDocumentsEveryOptionAndTheHostVariables)
{
    const Result r = Run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    for (const char* word : {"--user", "--env", "inherit", "system", "base", "--input", "--output", "--pipe-to",
                             "--pipe-user", "--error-key", "--wait-thread", "--stats", "--timeout", "--grace", "--help",
                             "HX_JOB_RESULTS_DIR", "HX_JOB_ID", "HX_CLIENT_NAME", "HX_DEBUG_LOG", "HX_DEBUG_LEVEL",
                             "HX_BASE_HOME", "124", "125", "126", "127", "130", "143", "128+N", "--stop-datetime=",
                             "--nice", "--io-class", "--limit", "--no-new-privileges", "--cgroup", "--low-impact",
                             "--dry-run", "--allow-unclosed-quote", "--keep-errors", "--version",
                             "/var/lib/mysqlchild", "XDG_STATE_HOME"})
        EXPECT_TRUE(Contains(r.out, word)) << word;
    EXPECT_FALSE(Contains(r.out, "this program's identity")) << "an unknown user is refused, not run as us";
}

// The man page and the shell completion name exactly the options --help
// names, and --version says which release this is.
TEST_F(MysqlChildProgram, ManPageAndCompletionKeepInStepWithTheHelp)
{
    auto collect = [](const std::string& text, const std::string& lead) {
        std::set<std::string> found;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(lead, 0) != 0)
                continue;
            size_t end = lead.size();
            while (end < line.size() && (isalnum(static_cast<unsigned char>(line[end])) || line[end] == '-'))
                ++end;
            found.insert("--" + line.substr(lead.size(), end - lead.size()));
        }
        return found;
    };
    const std::set<std::string> help = collect(Run({"--help"}).out, "  --");
    std::string man = ReadFile(MYSQLCHILD_MAN);
    for (size_t at; (at = man.find("\\-")) != std::string::npos;)
        man.replace(at, 2, "-");
    const std::set<std::string> manual = collect(man, "\\fB--");
    std::set<std::string> completion;
    const std::string script = ReadFile(MYSQLCHILD_COMPLETION);
    const size_t list = script.find("compgen -W \"--");
    ASSERT_NE(list, std::string::npos);
    std::istringstream words(script.substr(list + 12, script.find('"', list + 12) - list - 12));
    for (std::string w; words >> w;)
        completion.insert(w);
    EXPECT_GT(help.size(), 20u);
    EXPECT_EQ(manual, help);
    EXPECT_EQ(completion, help);
    const Result version = Run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(Contains(version.out, "mysqlchild (libMySqlProcess) ")) << version.out;
}

// The exit status and the words on standard error come from the library's
// outcome: a tool's own exit code, even one the library uses for a start-up
// stage, is the tool's, with its error line; only what the child reported
// before the tool started is a start-up failure.
TEST_F(MysqlChildProgram, ExitStatusFollowsTheToolsEnd)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int code;
        std::string out;
        std::vector<std::string> err;  // each in standard error; none: it is empty
    };
    const std::vector<Case> cases = {
        {"success", {"/bin/echo hello  world"}, 0, "hello world\n", {}},
        {"own exit code", {"/bin/sh -c \"exit 3\""}, 3, "", {"failed with exit code 3"}},
        {"error line", {"/bin/sh -c \"echo noise >&2; echo 'ERROR 42: broken' >&2; exit 4\""}, 4, "",
         {"mysqlchild: /bin/sh: ERROR 42: broken\n"}},
        {"own exit 77 with an error line", {"/bin/sh -c \"echo ERROR 1045 denied >&2; exit 77\""}, 77, "",
         {"mysqlchild: /bin/sh failed with exit code 77\n", "mysqlchild: /bin/sh: ERROR 1045 denied\n"}},
        {"error line holding a zero byte", {"/bin/sh -c \"printf 'ERROR 9 a\\000b\\n' >&2; exit 4\""}, 4, "",
         {"mysqlchild: /bin/sh: ERROR 9 a\\x00b\n"}},
        // The tool's account writes what reaches root's terminal: a title
        // change, a bell, a carriage return, a C1 control in UTF-8 and a
        // stray byte are shown escaped; a tab and real UTF-8 stay.
        {"error line with control characters",
         {"/bin/sh -c \"printf 'ERROR \\033]0;owned\\007 \\342\\200\\242\\tx\\r\\302\\233y\\377\\n' >&2; exit 4\""}, 4,
         "", {"mysqlchild: /bin/sh: ERROR \\x1b]0;owned\\x07 \xe2\x80\xa2\tx\\x0d\\xc2\\x9by\\xff\n"}},
        {"own key", {"--error-key", "oops", "/bin/sh -c \"echo oops: here >&2; exit 5\""}, 5, "", {"oops: here"}},
        {"killed", {"/bin/sh -c \"kill -KILL $$\""}, 128 + SIGKILL, "", {"killed by signal 9"}},
        {"killed, wait thread", {"--wait-thread", "/bin/sh -c \"kill -TERM $$\""}, 128 + SIGTERM, "",
         {"killed by signal 15"}},
        {"no such program", {"/nonexistent/mysqldump --help"}, 127, "",
         {"could not execute /nonexistent/mysqldump: No such file or directory (stage 79, exec; ENOENT)"}},
        {"a program that cannot be executed", {"/etc/passwd"}, 126, "",
         {"could not execute /etc/passwd: Permission denied (stage 79, exec; EACCES)"}},
        {"unknown user", {"--user", "no-such-user-of-mysqlchild", "/bin/true"}, 126, "",
         {"user 'no-such-user-of-mysqlchild' does not exist"}},
        {"a bad argument", {"--env", "wrong", "/bin/true"}, 125, "", {"--env must be"}},
        {"no line with the key", {"/bin/sh -c \"echo one >&2; echo Could not open required defaults file >&2; exit 2\""},
         2, "",
         {"no line with \"ERROR\" in its error output; its last lines:\n", "mysqlchild: /bin/sh:   one\n",
          "mysqlchild: /bin/sh:   Could not open required defaults file\n", "mysqlchild: error file: "}},
        {"chain", {"--pipe-to", "/usr/bin/tr a-z A-Z", "/bin/echo chained"}, 0, "CHAINED\n", {}},
        {"chain, first fails", {"--pipe-to", "/bin/cat", "/bin/sh -c \"echo partial; exit 6\""}, 6, "partial\n",
         {"/bin/sh failed with exit code 6"}},
        {"chain, both fail: the last one's code", {"--pipe-to", "/bin/sh -c \"exit 8\"", "/bin/sh -c \"exit 7\""}, 8,
         "", {"failed with exit code 7"}},
        {"a chain of three", {"--pipe-to", "/usr/bin/tr a-z A-Z", "--pipe-to", "/usr/bin/rev", "/bin/echo three"}, 0,
         "EERHT\n", {}},
        {"a chain of three, the middle fails",
         {"--pipe-to", "/bin/sh -c \"cat >/dev/null; exit 9\"", "--pipe-to", "/bin/cat", "/bin/echo x"}, 9, "",
         {"/bin/sh failed with exit code 9"}},
        {"system environment", {"--env", "system", "/usr/bin/env"}, 0,
         "LD_LIBRARY_PATH=/lib64:/lib:/usr/lib:/usr/lib64\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.out, c.out);
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        }
        for (const std::string& part : c.err)
            EXPECT_TRUE(Contains(r.err, part)) << r.err;
    }
}

TEST_F(MysqlChildProgram, InputIsStreamedWhileOutputIsRead)
{
    // Far more than two pipe buffers each way: feeding and reading in turn
    // would deadlock.
    TempDir dir;
    std::string data;
    for (int i = 0; data.size() < 24u * 1024 * 1024; ++i)
        data += "line " + std::to_string(i) + " of the stream through cat\n";
    WriteFile(dir / "in", data);
    for (const char* waiting : {"", "--wait-thread"}) {
        SCOPED_TRACE(waiting[0] != '\0' ? waiting : "Wait");
        std::vector<std::string> args{"--stats", "--input", dir / "in", "--output", dir / "out"};
        if (waiting[0] != '\0')
            args.push_back(waiting);
        args.push_back("/bin/cat");
        const Result r = Run(args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(ReadFile(dir / "out") == data);
        EXPECT_TRUE(Contains(r.err, "in " + std::to_string(data.size()) + " bytes, out " +
                                        std::to_string(data.size()) + " bytes"))
            << r.err;
    }
}

// Started as a daemon may be, with standard descriptors closed, mysqlchild
// takes none of its own descriptors for them: the tool's output is not
// mistaken for a stop signal, a stop signal is not fed to the tool, and
// --input - says standard input is closed. Handed non-blocking pipes, as an
// event loop would, it still moves every byte.
TEST_F(MysqlChildProgram, ClosedOrNonBlockingStandardStreams)
{
    const int err = open((scratch / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(err, 0);
    {
        SCOPED_TRACE("standard input closed, --input -");
        const int streams[3] = {-1, err, err};
        const pid_t pid = SpawnWithStreams({"--input", "-", "/bin/cat"}, streams);
        EXPECT_EQ(ShellCode(WaitWithDeadline(pid, 30)), 125);
        EXPECT_TRUE(Contains(ReadFile(scratch / "err"), "standard input is closed"));
    }
    {
        SCOPED_TRACE("standard input and output closed, a tool that writes, then a stop");
        const int streams[3] = {-1, -1, err};
        EXPECT_EQ(ShellCode(WaitWithDeadline(SpawnWithStreams({kDump}, streams), 30)), 0);
        const pid_t pid = SpawnWithStreams({std::string(ProbePath()) + " sleep 30"}, streams);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, SIGTERM);
        EXPECT_EQ(ShellCode(WaitWithDeadline(pid, 20)), 128 + SIGTERM);
    }
    close(err);

    SCOPED_TRACE("non-blocking pipes for standard input and output");
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    const int errFd = open((scratch / "err").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const int streams[3] = {in[0], out[1], errFd};
    const pid_t pid = SpawnWithStreams({"--input", "-", "/bin/cat"}, streams);
    close(in[0]);
    close(out[1]);
    close(errFd);
    std::string data;
    for (int i = 0; data.size() < (4u << 20); ++i)
        data += "row " + std::to_string(i) + "\n";
    std::thread feeder([&] {
        for (size_t at = 0; at < data.size();) {
            const ssize_t n = write(in[1], data.data() + at, std::min<size_t>(data.size() - at, 200000));
            if (n > 0) {
                at += static_cast<size_t>(n);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            } else if (errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            } else {
                break;
            }
        }
        close(in[1]);
    });
    std::string got;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n > 0)
            got.append(buffer, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(n > 0 ? 500 : 200));
    }
    feeder.join();
    close(out[0]);
    EXPECT_EQ(ShellCode(WaitWithDeadline(pid, 60)), 0) << ReadFile(scratch / "err");
    EXPECT_TRUE(got == data) << "got " << got.size() << " of " << data.size() << " bytes";
}

// The options that spare a database reach every tool of a chain; with
// --cgroup each tool runs in a group of its own, which goes with the run, and
// a stop ends what a tool started in another session too (here a grandchild
// that holds the output pipe, which would otherwise keep mysqlchild
// waiting for the end of the output).
TEST_F(MysqlChildProgram, ToolsRunAtLowImpactInGroupsOfTheirOwn)
{
    const std::string probe = ProbePath();
    const Result r = Run({"--low-impact", "--limit", "core=0", "--no-new-privileges", "--pipe-to",
                          "/bin/sh -c \"cat; " + probe + " report\"", probe + " report"});
    EXPECT_EQ(r.code, 0) << r.err;
    const auto report = ParseReport(r.out);
    const std::vector<std::string> both = {"19", "19"};
    EXPECT_EQ(ReportValues(report, "nice"), both);
    EXPECT_EQ(ReportValues(report, "ioprio"), std::vector<std::string>(2, std::to_string(3 << 13)));
    EXPECT_EQ(ReportValues(report, "no-new-privs"), std::vector<std::string>(2, "1"));

    std::string mount;
    for (const std::string& line : [] {
             std::vector<std::string> lines;
             std::istringstream in(ReadFile("/proc/self/mountinfo"));
             for (std::string l; std::getline(in, l);)
                 lines.push_back(l);
             return lines;
         }()) {
        char point[4096];
        if (line.find(" - cgroup2 ") != std::string::npos &&
            sscanf(line.c_str(), "%*s %*s %*s %*s %4095s", point) == 1 && access(point, W_OK) == 0)
            mount = point;
    }
    if (mount.empty())
        GTEST_SKIP() << "no cgroup v2 mount this process may make a group in";
    HangGuard guard(60, "mysqlchild waited for a grandchild in another session");
    const auto start = std::chrono::steady_clock::now();
    const Result stopped = Run({"--cgroup", mount, "--timeout", "1", "--grace", "1",
                                "/bin/sh -c \"setsid sleep 300 & echo started; sleep 300\""});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(stopped.code, 124) << stopped.err;
    EXPECT_EQ(stopped.out, "started\n");
    std::cout << "[ NOTE     ] a stopped chain with --timeout 1 --grace 1 returned after " << seconds << " s\n";
    for (const std::string& entry : FolderEntries(mount))
        EXPECT_NE(entry.rfind("mysqlchild-", 0), 0u) << "a tool's group was left: " << entry;
}

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A backup over last night's: only a run in which every tool succeeded may
// replace it, and the new file is readable by its owner alone.
TEST_F(MysqlChildProgram, OutputReplacesTheFileOnlyWhenEveryToolSucceeded)
{
    TempDir dir;
    const std::string target = dir / "backup.sql";
    const std::string earlier("last night's backup\n\0with a zero byte\n", 38);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int code;
        std::string content;  // of the file afterwards
    };
    const std::vector<Case> cases = {
        {"the tool fails after some output", {"/bin/sh -c \"echo partial dump; exit 3\""}, 3, earlier},
        {"the second tool of a chain fails", {"--pipe-to", "/bin/sh -c \"cat; exit 4\"", "/bin/echo piped"}, 4,
         earlier},
        {"the first tool of a chain fails", {"--pipe-to", "/bin/cat", "/bin/sh -c \"echo half; exit 5\""}, 5, earlier},
        {"the program does not exist", {"/nonexistent/mysqldump"}, 127, earlier},
        {"every tool succeeds", {"--pipe-to", "/usr/bin/tr a-z A-Z", "/bin/echo new dump"}, 0, "NEW DUMP\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, earlier, 0644);
        ASSERT_EQ(chmod(target.c_str(), 0644), 0);  // an existing file keeps its mode through WriteFile
        std::vector<std::string> args{"--output", target};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_TRUE(ReadFile(target) == c.content) << "[" << ReadFile(target) << "]";
        EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"backup.sql"}) << "a temporary file is left";
        EXPECT_EQ(ModeOf(target), c.code == 0 ? 0600u : 0644u);
    }
}

// A chain stopped from outside, by its time limit or by a signal to the
// program: the tool gets SIGTERM and its grace first, however it is waited
// for and whether or not its output has ended already, and is gone
// afterwards; the program says so and exits as timeout(1) or a shell would,
// and an earlier output file stays as it was, its temporary gone.
TEST_F(MysqlChildProgram, TimeoutAndStopSignalsStopTheToolsGracefullyAndKeepTheEarlierOutput)
{
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool closesOutput;  // the tool closes its output and runs on
        int signal;         // sent once the tool runs, or 0
        int code;
        const char* says;
        bool ignoresTerm = false;  // so only SIGKILL, after the grace, ends it
    };
    const Case cases[] = {
        {"--timeout 1", {"--timeout", "1"}, false, 0, 124, "ran longer than 1 s"},
        {"SIGINT", {}, false, SIGINT, 130, "stopped by SIGINT"},
        {"SIGTERM", {}, false, SIGTERM, 143, "stopped by SIGTERM"},
        {"SIGHUP", {}, false, SIGHUP, 129, "stopped by SIGHUP"},
        {"SIGTERM, --wait-thread", {"--wait-thread"}, false, SIGTERM, 143, "stopped by SIGTERM"},
        {"SIGTERM, output closed", {}, true, SIGTERM, 143, "stopped by SIGTERM"},
        {"SIGTERM, --wait-thread, output closed", {"--wait-thread"}, true, SIGTERM, 143, "stopped by SIGTERM"},
        {"SIGTERM ignored, --grace 1", {"--grace", "1"}, false, SIGTERM, 143,
         "did not end within the 1 s grace after SIGTERM and was killed with SIGKILL", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string target = dir / "backup.sql";
        WriteFile(target, "the earlier backup\n");
        // The shell notes SIGTERM when it gets it, then leaves its pid, and
        // waits for a sleep that outlives any test.
        std::vector<std::string> args{"--output", target};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const std::string trap = c.ignoresTerm ? "trap '' TERM; " : "trap 'echo TERM >" + dir / "got" + "; exit 0' TERM; ";
        args.push_back("/bin/sh -c \"" + trap +
                       (c.closesOutput ? "exec >&-; " : "") + "echo $$ >" + dir / "tool.pid" +
                       "; /bin/sleep 1000 & wait\"");
        TempDir logs;
        const pid_t program = StartMysqlchild(args, logs / "out", logs / "err");
        ASSERT_GT(program, 0);

        int tool = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((tool = atoi(ReadFile(dir / "tool.pid").c_str())) <= 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_GT(tool, 0) << "the tool never started";
        if (c.signal != 0)
            kill(program, c.signal);
        // Well under the grace of 10 s and the sleep's 1000: only a stop by
        // the program, SIGTERM first, ends the tool in time.
        const int status = WaitWithDeadline(program, 60);
        EXPECT_EQ(ShellCode(status), c.code) << ReadFile(logs / "err");
        EXPECT_TRUE(Contains(ReadFile(logs / "err"), c.says)) << ReadFile(logs / "err");
        if (!c.ignoresTerm) {
            EXPECT_EQ(ReadFile(dir / "got"), "TERM\n") << "the tool got no SIGTERM before SIGKILL";
        }
        if (tool > 0) {
            EXPECT_NE(kill(tool, 0), 0) << "the tool, pid " << tool << ", is still there";
            if (kill(tool, 0) == 0)
                kill(-tool, SIGKILL);
        }
        EXPECT_EQ(ReadFile(target), "the earlier backup\n");
        std::vector<std::string> left{"backup.sql", "got", "tool.pid"};
        if (c.ignoresTerm)
            left.erase(left.begin() + 1);
        EXPECT_EQ(FolderEntries(dir.path()), left)
            << "a temporary file is left";
    }
}

// A FIFO whose other end never comes is waited for, but a stop signal still
// ends the wait (the handlers do not restart the open).
TEST_F(MysqlChildProgram, StopSignalEndsTheWaitForAFifo)
{
    for (const char* option : {"--input", "--output"}) {
        SCOPED_TRACE(option);
        TempDir dir;
        const std::string fifo = dir / "fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const pid_t program = StartMysqlchild({option, fifo, "/bin/cat"}, dir / "out", dir / "err");
        ASSERT_GT(program, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(program, SIGTERM);
        EXPECT_EQ(ShellCode(WaitWithDeadline(program, 20)), 143) << ReadFile(dir / "err");
    }
}

// mariadb-backup --stream piped into mbstream -x: no input, no final output,
// every byte moved through the relay between the two tools.
TEST_F(MysqlChildProgram, ChainWithNoInputAndNoFinalOutputReportsTheBytesItMoved)
{
    const Result r =
        Run({"--stats", "--pipe-to", "/bin/sh -c \"cat >/dev/null\"", "/usr/bin/head -c 3000000 /dev/zero"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Contains(r.err, "moved 3000000 bytes")) << r.err;
    EXPECT_FALSE(Contains(r.err, " 0 B/s")) << r.err;
}

// ---------------------------------------------------------------------------
// Streams an operator can watch, pace and trust.

// Random bytes of a size no pipe or relay call divides.
std::string RandomBytes(size_t size)
{
    std::string out(size, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x >> 56);
    }
    return out;
}

// The digest of what reached the output is what the *sum tool says of the
// file, and it is written beside the file only with it: a failed run leaves
// the earlier file and its earlier digest as they were.
TEST_F(MysqlChildProgram, ChecksumIsTheFilesAndIsPutInPlaceOnlyWithIt)
{
    TempDir dir;
    WriteFile(dir / "in", RandomBytes((3u << 20) + 17));
    for (const std::pair<const char*, const char*>& algorithm :
         {std::make_pair("sha256", "sha256sum"), std::make_pair("sha512", "sha512sum"),
          std::make_pair("blake2b512", "b2sum")}) {
        SCOPED_TRACE(algorithm.first);
        const std::string sum = dir / (std::string("backup.sql.") + algorithm.first);
        WriteFile(dir / "backup.sql", "the earlier backup\n");
        WriteFile(sum, "an earlier digest\n");
        const Result failed = Run({"--checksum", algorithm.first, "--input", dir / "in", "--output",
                                   dir / "backup.sql", "/bin/sh -c \"cat; exit 3\""});
        EXPECT_EQ(failed.code, 3) << failed.err;
        EXPECT_EQ(ReadFile(dir / "backup.sql"), "the earlier backup\n");
        EXPECT_EQ(ReadFile(sum), "an earlier digest\n");

        const Result r = Run({"--checksum", algorithm.first, "--input", dir / "in", "--output", dir / "backup.sql",
                              "--pipe-to", "/bin/cat", "/bin/cat"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ReadFile(dir / "backup.sql"), ReadFile(dir / "in"));
        const std::string check = "cd '" + dir.path() + "' && " + algorithm.second + " --quiet --check " + sum;
        EXPECT_EQ(system(check.c_str()), 0) << ReadFile(sum);
        const std::string digest = ReadFile(sum).substr(0, ReadFile(sum).find(' '));
        EXPECT_TRUE(Contains(r.err, std::string(algorithm.first) + " " + digest)) << r.err;
    }
}

// --stats=json is one object a JSON parser reads back, with every field for
// every tool, the bytes equal to the file's size and no password.
TEST_F(MysqlChildProgram, StatsAsJsonHoldEveryFieldAndTheTrueCounts)
{
    TempDir dir;
    const size_t size = (2u << 20) + 5;
    WriteFile(dir / "in", RandomBytes(size));
    const Result r = Run({"--stats=json", "--checksum", "sha256", "--input", dir / "in", "--output",
                          dir / "out", "--pipe-to", "/bin/cat", "/bin/sh -c \"cat\" --password=s3cret"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "s3cret"));
    const std::string line = r.err.substr(r.err.rfind("\n{") + 1);
    nlohmann::json stats;
    ASSERT_NO_THROW(stats = nlohmann::json::parse(line)) << r.err;
    ASSERT_EQ(stats["tools"].size(), 2u);
    for (const auto& tool : stats["tools"]) {
        for (const char* field : {"command", "program", "user", "outcome", "outcome_text", "exit_code", "signal",
                                  "core_dumped", "bytes_in", "bytes_out", "seconds", "mysqlchild_cpu_seconds",
                                  "pipe_size", "splices", "copies"})
            EXPECT_TRUE(tool.contains(field)) << field << " in " << tool.dump();
        EXPECT_EQ(tool["outcome"], "exited");
        EXPECT_EQ(tool["exit_code"], 0);
        EXPECT_TRUE(tool["signal"].is_null());
        EXPECT_EQ(tool["bytes_in"], size);
        EXPECT_EQ(tool["bytes_out"], size);
        EXPECT_GT(tool["splices"].get<long long>(), 0);
        EXPECT_GT(tool["pipe_size"]["output"].get<long long>(), 0);
    }
    EXPECT_TRUE(Contains(stats["tools"][0]["command"].get<std::string>(), "--password=*****"));
    const auto& result = stats["result"];
    EXPECT_EQ(result["exit_code"], 0);
    EXPECT_EQ(result["succeeded"], true);
    EXPECT_EQ(result["output_bytes"], size);
    EXPECT_EQ(result["checksum"]["algorithm"], "sha256");
    EXPECT_EQ(result["checksum"]["digest"].get<std::string>().size(), 64u);
    for (const char* field : {"bytes", "seconds", "cpu_seconds", "input", "output", "rate_limit"})
        EXPECT_TRUE(result.contains(field)) << field;
}

// An output shorter than --min-bytes fails the run and never replaces the
// file: by default an empty one, for an output file.
TEST_F(MysqlChildProgram, AnEmptyStreamIsNeverCommittedAsABackup)
{
    struct Case {
        const char* name;
        std::vector<std::string> options;
        const char* tool;
        bool toFile;
        int code;
    };
    const Case cases[] = {
        {"empty, into a file", {}, "/bin/true", true, 1},
        {"empty, --min-bytes 0", {"--min-bytes", "0"}, "/bin/true", true, 0},
        {"5 bytes, --min-bytes 1K", {"--min-bytes", "1K"}, "/bin/echo four", true, 1},
        {"empty, to standard output", {}, "/bin/true", false, 0},
        {"empty, to standard output, --min-bytes 1", {"--min-bytes", "1"}, "/bin/true", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "backup.sql", "the earlier backup\n");
        std::vector<std::string> args = c.options;
        if (c.toFile)
            args.insert(args.end(), {"--output", dir / "backup.sql"});
        args.push_back(c.tool);
        const Result r = Run(args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(Contains(r.err, "wrote only "), c.code != 0) << r.err;
        if (c.toFile) {
            EXPECT_EQ(ReadFile(dir / "backup.sql"), c.code == 0 ? "" : "the earlier backup\n");
        }
        EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"backup.sql"});
    }
}

// --progress draws one line on a terminal, with the percent of an input file
// done, and writes nothing when standard error is a file; =json writes
// objects a parser reads.
TEST_F(MysqlChildProgram, ProgressIsShownOnATerminalOrAsAsked)
{
    TempDir dir;
    WriteFile(dir / "in", RandomBytes(3u << 20));
    // 3 MiB at 2 MiB/s: a second and a half, three lines or so.
    const std::vector<std::string> paced{"--rate-limit", "2M", "--input", dir / "in", "--output", dir / "out"};

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::vector<std::string> args{"--progress"};
    args.insert(args.end(), paced.begin(), paced.end());
    args.push_back("/bin/cat");
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int streams[3] = {in, slave, slave};
    const pid_t pid = SpawnWithStreams(args, streams);
    close(in);
    close(slave);
    ASSERT_GT(pid, 0);
    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)  // EIO once the program is gone
        screen.append(buffer, static_cast<size_t>(n));
    close(master);
    EXPECT_EQ(ShellCode(WaitWithDeadline(pid, 60)), 0) << screen;
    EXPECT_TRUE(Contains(screen, "\r\033[Kmysqlchild: ")) << screen;
    EXPECT_TRUE(Contains(screen, "%, ")) << "no percent for an input file of known size: " << screen;
    EXPECT_TRUE(Contains(screen, "MiB/s")) << screen;

    args[0] = "--progress";
    const Result toFile = Run(args);
    EXPECT_EQ(toFile.code, 0);
    EXPECT_EQ(toFile.err, "") << "progress written into a file";

    args[0] = "--progress=json";
    const Result json = Run(args);
    EXPECT_EQ(json.code, 0);
    std::istringstream lines(json.err);
    int objects = 0;
    for (std::string line; std::getline(lines, line); ++objects) {
        nlohmann::json progress;
        ASSERT_NO_THROW(progress = nlohmann::json::parse(line)) << line;
        EXPECT_TRUE(progress["progress"].contains("bytes"));
        EXPECT_EQ(progress["progress"]["expected_bytes"], 3u << 20);
    }
    EXPECT_GE(objects, 1);
}

// --rate-limit holds the chain back, and SIGUSR2 and SIGUSR1 change it while
// it runs, each change said; without a limit the signals only say so.
TEST_F(MysqlChildProgram, TheRateLimitHoldsAndSignalsChangeIt)
{
    TempDir dir;
    WriteFile(dir / "in", RandomBytes(1u << 20));
    const auto start = std::chrono::steady_clock::now();
    const Result held = Run({"--rate-limit", "1M", "--input", dir / "in", "--output", dir / "out", "/bin/cat"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(held.code, 0) << held.err;
    EXPECT_GE(seconds, 0.8) << "1 MiB at 1 MiB/s, less a bucket of 0.1 MiB";

    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::vector<int> signals;
        const char* says;
    };
    const Case cases[] = {
        // 1 MiB at 128 KiB/s would take 8 s; halved once and doubled four
        // times, 1 MiB/s.
        {"limited",
         {"--rate-limit", "128K"},
         {SIGUSR2, SIGUSR2, SIGUSR1, SIGUSR2, SIGUSR2},
         "SIGUSR2: rate limit doubled from 128.0 KiB/s to 256.0 KiB/s"},
        {"not limited", {}, {SIGUSR2}, "SIGUSR2: there is no --rate-limit to change"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.options;
        // Running for a while at least, so that the signals find it at work.
        args.insert(args.end(),
                    {"--input", dir / "in", "--output", dir / "out", "/bin/sh -c \"cat; exec sleep 0.5\""});
        const pid_t pid = StartMysqlchild(args, scratch / "out", scratch / "err");
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int sig : c.signals) {
            kill(pid, sig);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        EXPECT_EQ(ShellCode(WaitWithDeadline(pid, 25)), 0) << ReadFile(scratch / "err");
        EXPECT_TRUE(Contains(ReadFile(scratch / "err"), c.says)) << ReadFile(scratch / "err");
        EXPECT_EQ(ReadFile(dir / "out"), ReadFile(dir / "in"));
    }
}

}  // namespace
