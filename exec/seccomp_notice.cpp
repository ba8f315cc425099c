// The kill list's listener: probe, the shell's sending and the server's reading (see the
// header).
#include "exec/seccomp_notice.h"
#include "runtime/syscall.h"

static constinit bool notice_usable = false;

// One control message with one descriptor: the header and an int, padded to 8 bytes.
static constexpr i64 k_rights_space = sizeof(cmsghdr_k) + 8;

// The probe's child installs a filter that allows everything, with a listener; the filter
// and the listener end with the child. Creds are the child's own, so no-new-privileges set
// there leaves the server as it was.
static int probe_listener(void* arg)
{
    i64* result = (i64*)arg;
    static constexpr sock_filter_k allow_all[] = { { (u16)(BPF_RET | BPF_K), 0, 0, SECCOMP_RET_ALLOW } };
    sock_fprog_k program { 1, allow_all };
    *result = sys_prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (*result == 0)
        *result = sys_seccomp(SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
    return 0;
}

alignas(16) static constinit char probe_stack[4096] {};

bool seccomp_notice_probe()
{
    i64 result = -EINVAL;
    i64 pid = sys_clone_call(CLONE_VM | CLONE_VFORK | SIGCHLD, probe_stack + sizeof(probe_stack), nullptr, probe_listener, &result);
    if (pid > 0) {
        int status = 0;
        while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    }
    notice_usable = pid > 0 && result >= 0;
    return notice_usable;
}

bool seccomp_notice_usable() { return notice_usable; }

static i64 send_descriptor(int socket_fd, int fd)
{
    alignas(8) char control[k_rights_space] {};
    cmsghdr_k* header = (cmsghdr_k*)control;
    header->len = sizeof(cmsghdr_k) + sizeof(int);
    header->level = SOL_SOCKET;
    header->type = SCM_RIGHTS;
    *(int*)(control + sizeof(cmsghdr_k)) = fd;
    char byte = 'L';
    iovec_k part { &byte, 1 };
    msghdr_k message { nullptr, 0, &part, 1, control, sizeof(control), 0 };
    i64 sent = sys_sendmsg(socket_fd, &message, MSG_NOSIGNAL);
    return sent == 1 ? 0 : sent < 0 ? sent : -EIO;
}

i64 seccomp_install_reporting(const sock_fprog_k* program, int socket_fd)
{
    i64 listener = sys_seccomp(SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, program);
    if (listener < 0) {
        sys_close(socket_fd);
        return listener;
    }
    i64 result = send_descriptor(socket_fd, (int)listener);
    sys_close((int)listener);
    sys_close(socket_fd);
    return result;
}

i64 seccomp_receive_listener(int socket_fd)
{
    alignas(8) char control[k_rights_space] {};
    char byte = 0;
    iovec_k part { &byte, 1 };
    msghdr_k message { nullptr, 0, &part, 1, control, sizeof(control), 0 };
    i64 received = sys_recvmsg(socket_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (received < 0)
        return received;
    const cmsghdr_k* header = (const cmsghdr_k*)control;
    bool has_descriptor = received == 1 && (message.flags & MSG_CTRUNC) == 0 && message.controllen >= sizeof(cmsghdr_k) + sizeof(int) &&
        header->level == SOL_SOCKET && header->type == SCM_RIGHTS;
    if (!has_descriptor)
        return -ECONNRESET;
    return *(const int*)(control + sizeof(cmsghdr_k));
}

// RECV blocks while no notice waits, so readiness is checked first. A notice seen by poll
// has its count taken by this read alone: the read then returns at once, with the notice or
// with ENOENT when its caller was killed meanwhile.
i64 seccomp_read_notice(int listener_fd)
{
    pollfd_k watch { listener_fd, POLLIN, 0 };
    if (sys_poll(&watch, 1, 0) <= 0)
        return -EAGAIN;
    if ((watch.revents & POLLIN) == 0)
        return (watch.revents & POLLHUP) != 0 ? -EPIPE : -EAGAIN;
    seccomp_notif_k notice {};
    i64 result = sys_ioctl(listener_fd, SECCOMP_IOCTL_NOTIF_RECV, &notice);
    if (result < 0)
        return result;
    return notice.nr;
}
