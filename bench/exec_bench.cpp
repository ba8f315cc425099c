// Exec probe. Paced round trips: each round first runs the bare spawn (fork, exec of
// /bin/sh -c 'echo hi', its output read through a pipe, wait) and then the target once, so
// both are measured in the same run under the same load; rounds are spaced 1/RATE seconds
// apart, which keeps a server under its per-second request limit.
// Throughput: eight workers at once, first as bare spawns, then as agents against the
// server (the request's "@AGENT@" replaced by each worker's own name), each phase for
// SECONDS, three times alternating; prints runs per second of each phase.
// Health: after each exec round trip, GET /api/health within the next 6 ms (while the server
// prepares its next runs) and again after a pause (idle).
// Usage: exec_bench ROUNDS RATE http PORT REQUEST_FILE
//        exec_bench ROUNDS RATE spawn PROGRAM [ARGS...]
//        exec_bench SECONDS WORKERS throughput PORT REQUEST_FILE
//        exec_bench ROUNDS RATE health PORT REQUEST_FILE HEALTH_FILE
// Prints lines "NAME median_us p95_us count" ("bare" and "target"; "busy" and "idle" for
// health) and "bare_cpu US" (processor time of one bare spawn: the probe's children's
// user and system time over the rounds), or "throughput_bare RUNS_PER_SECOND" and
// "throughput_target RUNS_PER_SECOND".
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <atomic>
#include <unistd.h>
#include <vector>

static double now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Runs argv with stdout on a pipe, reads the pipe to its end, waits. Returns the output.
static std::string spawn_and_read(char* const* argv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execv(argv[0], argv);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

static std::string http_round(int port, const std::string& request)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(fd, (sockaddr*)&addr, sizeof(addr)) == 0 && write(fd, request.data(), request.size()) == (ssize_t)request.size()) {
        char buf[8192];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0)
            out.append(buf, (size_t)n);
    }
    close(fd);
    return out;
}

static void report(const char* name, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    double median = v.empty() ? 0 : v[v.size() / 2];
    double p95 = v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(v.size() * 0.95))];
    printf("%s %.1f %.1f %zu\n", name, median, p95, v.size());
}

static std::string read_file(const char* path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

static char* bare_argv[] = { (char*)"/bin/sh", (char*)"-c", (char*)"echo hi", nullptr };

static bool exec_answered(const std::string& answer) { return answer.find("\"stdout\":\"hi\\n\"") != std::string::npos; }

// Runs `workers` threads, each calling one() until `seconds` have passed; returns the runs
// per second of all of them together (failed runs not counted).
template <typename F>
static double phase(int workers, double seconds, F one)
{
    std::atomic<long> done { 0 };
    double end = now_us() + seconds * 1e6;
    std::vector<std::thread> threads;
    double started = now_us();
    for (int w = 0; w < workers; w++)
        threads.emplace_back([&, w] {
            while (now_us() < end)
                if (one(w))
                    done++;
        });
    for (auto& t : threads)
        t.join();
    return done / ((now_us() - started) / 1e6);
}

static int throughput(double seconds, int workers, int port, const std::string& request)
{
    std::vector<std::string> requests;
    for (int w = 0; w < workers; w++) {
        std::string r = request;
        size_t at = r.find("@AGENT@");
        if (at != std::string::npos)
            r.replace(at, 7, "agent" + std::to_string(w));
        requests.push_back(r);
    }
    std::vector<double> bare, target;
    for (int round = 0; round < 3; round++) {
        bare.push_back(phase(workers, seconds, [](int) { return spawn_and_read(bare_argv) == "hi\n"; }));
        target.push_back(phase(workers, seconds, [&](int w) { return exec_answered(http_round(port, requests[w])); }));
    }
    std::sort(bare.begin(), bare.end());
    std::sort(target.begin(), target.end());
    printf("throughput_bare %.1f\nthroughput_target %.1f\n", bare[1], target[1]);
    return 0;
}

static int health(int rounds, double rate, int port, const std::string& request, const std::string& health_request)
{
    std::vector<double> busy, idle;
    double next = now_us();
    for (int i = 0; i < rounds; i++) {
        double wait = next - now_us();
        if (wait > 0)
            usleep((useconds_t)wait);
        next += 1e6 / rate;
        if (!exec_answered(http_round(port, request)))
            continue;
        // Somewhere in the few milliseconds in which the server refills its pool.
        usleep((useconds_t)(rand() % 6000));
        double t0 = now_us();
        bool ok = http_round(port, health_request).find("200 OK") != std::string::npos;
        double t1 = now_us();
        usleep(20000);
        double t2 = now_us();
        bool ok_idle = http_round(port, health_request).find("200 OK") != std::string::npos;
        double t3 = now_us();
        if (ok && ok_idle) {
            busy.push_back(t1 - t0);
            idle.push_back(t3 - t2);
        }
    }
    report("busy", busy);
    report("idle", idle);
    return busy.empty() ? 1 : 0;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: exec_bench ROUNDS RATE http PORT FILE | spawn PROGRAM [ARGS...]\n");
        return 2;
    }
    if (strcmp(argv[3], "throughput") == 0)
        return throughput(atof(argv[1]), atoi(argv[2]), atoi(argv[4]), read_file(argv[5]));
    if (strcmp(argv[3], "health") == 0 && argc >= 7)
        return health(atoi(argv[1]), atof(argv[2]), atoi(argv[4]), read_file(argv[5]), read_file(argv[6]));
    int rounds = atoi(argv[1]);
    double rate = atof(argv[2]);
    bool http = strcmp(argv[3], "http") == 0;
    int port = http ? atoi(argv[4]) : 0;
    std::string request = http ? read_file(argv[5]) : "";
    std::vector<double> bare, target;
    int failures = 0;
    double next = now_us();
    for (int i = 0; i < rounds; i++) {
        double wait = next - now_us();
        if (wait > 0)
            usleep((useconds_t)wait);
        next += 1e6 / rate;
        double t0 = now_us();
        std::string a = spawn_and_read(bare_argv);
        double t1 = now_us();
        std::string b = http ? http_round(port, request) : spawn_and_read(argv + 4);
        double t2 = now_us();
        bool ok = a == "hi\n" && (http ? exec_answered(b) : b == "hi\n");
        if (!ok) {
            failures++;
            continue;
        }
        bare.push_back(t1 - t0);
        target.push_back(t2 - t1);
    }
    report("bare", bare);
    report("target", target);
    rusage used {};
    getrusage(RUSAGE_CHILDREN, &used);
    double cpu_us = used.ru_utime.tv_sec * 1e6 + used.ru_utime.tv_usec + used.ru_stime.tv_sec * 1e6 + used.ru_stime.tv_usec;
    printf("bare_cpu %.1f\n", bare.empty() ? 0 : cpu_us / (http ? rounds : 2 * rounds));
    if (failures)
        fprintf(stderr, "%d rounds failed\n", failures);
    return failures == rounds ? 1 : 0;
}
