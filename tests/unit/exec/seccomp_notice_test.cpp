// The listener's path from a child to its reader, against the running kernel: a forked child
// installs a filter with a listener and sends it over a socket pair, as the shell does.
#include "exec/seccomp_notice.h"
#include "runtime/syscall.h"
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

constexpr u32 k_getppid = 110;
constexpr int k_get_descriptor_flags = 1; // F_GETFD
constexpr i64 k_close_on_exec = 1; // FD_CLOEXEC

// Hands getppid to the listener; everything else is allowed.
const sock_filter_k k_notify_getppid[] = {
    { (u16)(BPF_LD | BPF_W | BPF_ABS), 0, 0, SECCOMP_DATA_NR },
    { (u16)(BPF_JMP | BPF_JEQ | BPF_K), 0, 1, k_getppid },
    { (u16)(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_USER_NOTIF },
    { (u16)(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_ALLOW },
};

struct Pair {
    int server = -1;
    int child = -1;
    Pair()
    {
        int ends[2] = { -1, -1 };
        EXPECT_EQ(sys_socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        server = ends[0];
        child = ends[1];
        sys_fcntl(server, F_SETFL, O_NONBLOCK);
    }
    ~Pair()
    {
        close(server);
        if (child >= 0)
            close(child);
    }
};

// The child: the filter with its listener sent to the server, then getppid, which stops at
// the filter until the parent kills it.
[[noreturn]] void report_and_call(int socket_fd)
{
    sock_fprog_k program { 4, k_notify_getppid };
    if (sys_prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || seccomp_install_reporting(&program, socket_fd) != 0)
        _exit(1);
    for (int fd = 3; fd < 64; fd++)
        if (sys_fcntl(fd, k_get_descriptor_flags, 0) >= 0)
            _exit(2); // the child kept a descriptor of the pair or of the listener
    sys_exit_group(syscall(k_getppid) == -1 ? 3 : 4);
}

std::string descriptor_target(int fd)
{
    char link[128] {};
    ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof(link) - 1);
    return len > 0 ? std::string(link, len) : std::string();
}

// Waits for something to read on fd, at most two seconds.
bool readable(int fd)
{
    pollfd_k watch { fd, POLLIN, 0 };
    return sys_poll(&watch, 1, 2000) > 0;
}

TEST(SeccompNotice, ProbeFindsListenersOnThisKernel)
{
    // The kernels these tests run on (5.0 and later) have listeners.
    EXPECT_TRUE(seccomp_notice_probe());
    EXPECT_TRUE(seccomp_notice_usable());
}

TEST(SeccompNotice, ListenerReachesTheServerAndNamesTheStoppedCall)
{
    Pair pair;
    EXPECT_EQ(seccomp_receive_listener(pair.server), -EAGAIN);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pair.server);
        for (int fd = 3; fd < 64; fd++)
            if (fd != pair.child)
                close(fd);
        report_and_call(pair.child);
    }
    close(pair.child);
    pair.child = -1;
    ASSERT_TRUE(readable(pair.server));
    i64 listener = seccomp_receive_listener(pair.server);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(descriptor_target((int)listener), "anon_inode:seccomp notify");
    EXPECT_EQ(sys_fcntl((int)listener, k_get_descriptor_flags, 0) & k_close_on_exec, k_close_on_exec);
    // After the one message, end of file once the child has closed its copy.
    ASSERT_TRUE(readable(pair.server));
    EXPECT_EQ(seccomp_receive_listener(pair.server), -ECONNRESET);
    ASSERT_TRUE(readable((int)listener));
    EXPECT_EQ(seccomp_read_notice((int)listener), (i64)k_getppid);
    // The call stays stopped, unanswered: the child has not exited.
    int status = 0;
    usleep(50000);
    EXPECT_EQ(sys_wait4(pid, &status, WNOHANG, nullptr), 0);
    EXPECT_EQ(seccomp_read_notice((int)listener), -EAGAIN);
    sys_kill(pid, SIGKILL);
    ASSERT_EQ(sys_wait4(pid, &status, 0, nullptr), pid);
    EXPECT_EQ(status & 0x7F, SIGKILL) << status;
    // No process is left under the filter: no notice can come any more.
    EXPECT_EQ(seccomp_read_notice((int)listener), -EPIPE);
    close((int)listener);
}

TEST(SeccompNotice, ChildThatSendsNothingEndsTheWait)
{
    Pair pair;
    close(pair.child);
    pair.child = -1;
    EXPECT_EQ(seccomp_receive_listener(pair.server), -ECONNRESET);
}

} // namespace
