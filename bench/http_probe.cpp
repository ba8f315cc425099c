// Paced round-trip probe. Each round sends one request to every target in turn (connect,
// write, read to close) and records the round trip in microseconds; rounds are spaced so
// that no server sees more than its per-second limit. The order rotates every round.
// Usage: http_probe ROUNDS ROUNDS_PER_SECOND NAME:PORT:FILE [...]
// FILE holds the exact request bytes. Prints "NAME median p99 min max" per target.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct Target {
    std::string name;
    int port;
    std::string request;
    std::vector<double> micros;
};

static double now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static bool round_trip(Target& t)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)t.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    double start = now_us();
    if (connect(fd, (sockaddr*)&addr, sizeof(addr)) < 0) {
        close(fd);
        return false;
    }
    send(fd, t.request.data(), t.request.size(), 0);
    char buf[65536];
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
        total += (size_t)n;
    double end = now_us();
    close(fd);
    if (total == 0)
        return false;
    t.micros.push_back(end - start);
    return true;
}

static double pct(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (v.size() - 1) + 0.5);
    return v[i];
}

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    int rounds = atoi(argv[1]);
    double per_second = atof(argv[2]);
    std::vector<Target> targets;
    for (int i = 3; i < argc; i++) {
        std::string target = argv[i];
        size_t a = target.find(':'), b = target.find(':', a + 1);
        std::ifstream f(target.substr(b + 1), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        targets.push_back({ target.substr(0, a), atoi(target.substr(a + 1, b - a - 1).c_str()), ss.str(), {} });
    }
    double interval = 1e6 / per_second;
    double next = now_us();
    for (int r = 0; r < rounds; r++) {
        // The first request after the pause pays for waking the machine; rotating the
        // order spreads that cost evenly over the targets.
        for (size_t k = 0; k < targets.size(); k++) {
            Target& t = targets[(r + k) % targets.size()];
            if (!round_trip(t))
                fprintf(stderr, "%s: failed round trip\n", t.name.c_str());
        }
        next += interval;
        double wait = next - now_us();
        if (wait > 0)
            usleep((useconds_t)wait);
    }
    for (auto& t : targets)
        if (!t.micros.empty())
            printf("%s %.1f %.1f %.1f %.1f %zu\n", t.name.c_str(), pct(t.micros, 0.5), pct(t.micros, 0.99), pct(t.micros, 0.0),
                pct(t.micros, 1.0), t.micros.size());
    return 0;
}
