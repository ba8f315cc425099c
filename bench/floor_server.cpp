// The floor: a minimal single-threaded epoll server that answers every connection with a
// fixed response, built the ordinary way. Usage: floor_server PORT
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int port = argc > 1 ? atoi(argv[1]) : 9999;
    static const char response[] = "HTTP/1.1 200 OK\nContent-Type: application/json\nContent-Length: 2\nConnection: close\n\n{}";
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr*)&addr, sizeof(addr)) < 0 || listen(fd, 128) < 0)
        return 1;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    char buf[8192];
    for (;;) {
        epoll_event out;
        if (epoll_wait(ep, &out, 1, 1000) <= 0)
            continue;
        int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        if (read(c, buf, sizeof(buf)) > 0)
            send(c, response, sizeof(response) - 1, MSG_NOSIGNAL);
        close(c);
    }
}
