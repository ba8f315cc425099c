// The self-test starts the child exactly as a command run does (plan_launch, and
// launch_confined or a jail's init started and bound at once), so a step that would fail
// for every command fails here first, with the step's name and error instead of a 127 in
// every answer.
#include "exec/self_test.h"
#include "exec/confinement.h"
#include "exec/run_outcome.h"
#include "exec/seccomp_notice.h"
#include "runtime/error_text.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// "true" ends at once; this only bounds a host where something hangs.
static constexpr i64 k_self_test_wait_ms = 10000;

static constinit LaunchPlan plan {};
static constinit JailInit init {};
static constexpr char k_command[] = "true";
static constinit char command_copy[sizeof(k_command)] {};
// The server's own variables and the NULL after them: the self-test adds none.
static constinit const char* environment[k_server_variables_max + 1] {};

struct Pipes {
    int input[2];
    int output[2];
};

static bool open_pipes(Pipes* pipes)
{
    if (sys_pipe2(pipes->input, O_CLOEXEC) < 0)
        return false;
    if (sys_pipe2(pipes->output, O_CLOEXEC) < 0) {
        sys_close(pipes->input[0]);
        sys_close(pipes->input[1]);
        return false;
    }
    // The command's input reads as empty.
    sys_close(pipes->input[1]);
    return true;
}

// Waits for the child through its pidfd; kills it when it outlasts the bound. Returns its
// wait status, or -1 when it had to be killed.
static int wait_child(i64 pid, int pidfd)
{
    pollfd_k watch { pidfd, POLLIN, 0 };
    bool ended = sys_poll(&watch, 1, (int)k_self_test_wait_ms) > 0;
    if (!ended)
        sys_kill((int)pid, SIGKILL);
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    return ended ? status : -1;
}

static void read_output(SelfTest* test, int fd)
{
    sys_fcntl(fd, F_SETFL, O_NONBLOCK);
    i64 n = sys_read(fd, test->output, k_self_test_output_max);
    test->output_len = n > 0 ? n : 0;
}

// Where the run has a notice pair, the shell must have sent its filter's listener over it:
// a server that cannot receive it would see the kill list's calls fail with ENOSYS
// instead of ending their runs.
static void take_listener(SelfTest* test)
{
    if (plan.notice_fd < 0)
        return;
    i64 listener = seccomp_receive_listener(plan.notice_fd);
    sys_close(plan.notice_fd);
    plan.notice_fd = -1;
    if (listener >= 0) {
        sys_close((int)listener);
        return;
    }
    test->step = "seccomp listener";
    test->error = listener;
}

// The jail modes: an init without control groups, started and bound at once. The test
// waits for the init's end alone, but keeps the control socket open until then: closing a
// socket with the init's report unread would reset the init's end before it reads its
// command. A preparation step that fails is the plan's failed step.
static i64 launch_child(int* pidfd, int* control)
{
    if (plan.jail_mode == k_jail_none)
        return launch_confined(&plan, &init.stacks, pidfd);
    init.memory_procs_fd = -1;
    init.pids_procs_fd = -1;
    i64 pid = jail_init_start(&init, pidfd, control);
    if (pid < 0) {
        plan.failed_step = init.failed_step;
        plan.failed_error = init.failed_error;
        return pid;
    }
    i64 bound = jail_init_bind(&init, &plan, *control);
    if (bound < 0) {
        sys_kill((int)pid, SIGKILL);
        int status = 0;
        while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
        sys_close(*pidfd);
        sys_close(*control);
        *control = -1;
        return bound;
    }
    return pid;
}

SelfTest run_self_test()
{
    SelfTest test {};
    test.exit_code = -1;
    Pipes pipes {};
    if (!open_pipes(&pipes)) {
        test.step = "output pipe";
        return test;
    }
    plan.buffers = { command_copy, sizeof(command_copy), nullptr, environment };
    LaunchRequest request { { k_command, sizeof(k_command) - 1 }, { "", 0 }, 0, { "", 0 }, global_run_limits() };
    plan_launch(&plan, request, { pipes.input[0], pipes.output[1], pipes.output[1] });
    int pidfd = -1;
    int control = -1;
    i64 pid = launch_child(&pidfd, &control);
    sys_close(pipes.input[0]);
    sys_close(pipes.output[1]);
    if (pid < 0) {
        sys_close(pipes.output[0]);
        test.step = plan.failed_step;
        test.error = plan.failed_error;
        return test;
    }
    int status = wait_child(pid, pidfd);
    sys_close(pidfd);
    if (control >= 0)
        sys_close(control);
    read_output(&test, pipes.output[0]);
    sys_close(pipes.output[0]);
    if (status < 0) {
        test.step = "the run did not end in time";
        if (plan.notice_fd >= 0)
            sys_close(plan.notice_fd);
        return test;
    }
    int shell_status = plan.jail_mode != k_jail_none ? __atomic_load_n(&plan.shell_status, __ATOMIC_ACQUIRE) : status;
    test.step = plan.failed_step != nullptr ? plan.failed_step : init.failed_step;
    test.error = plan.failed_step != nullptr ? plan.failed_error : init.failed_error;
    if (test.step == nullptr)
        take_listener(&test);
    test.exit_code = shell_status >= 0 ? exit_code_from_status(shell_status) : exit_code_from_status(status);
    test.passed = test.step == nullptr && test.exit_code == 0;
    return test;
}

i64 describe_self_test(const SelfTest& test, char* out)
{
    i64 pos = 0;
    if (test.step != nullptr) {
        pos = append_text(out, pos, test.step);
        if (test.error != 0) {
            pos = append_text(out, pos, " failed: ");
            pos = append_error_name(out, pos, test.error);
        }
        return pos;
    }
    pos = append_text(out, pos, "/bin/sh -c true exited with ");
    pos = append_decimal(out, pos, test.exit_code);
    if (test.output_len > 0) {
        pos = append_text(out, pos, ": ");
        // One line: the output's own line breaks and control bytes become blanks.
        for (i64 i = 0; i < test.output_len; i++)
            pos = append_byte(out, pos, (u8)test.output[i] < 0x20 ? ' ' : test.output[i]);
    }
    return pos;
}
