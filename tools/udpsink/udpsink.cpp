// SPDX-License-Identifier: ISC
// udpsink: prints every UDP datagram that reaches port 9930 as one line of
// text, until an error ends it. A debugging aid, sharing nothing with tarnwick.

#include <bit>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static constexpr int PORT = 9930;
static constexpr int MAX_DATAGRAM = 1500;
static constexpr long WAIT_USEC = 100000;

static int sock;
// A 16-bit number in network byte order, whatever the host's.
static constexpr in_port_t network_order(in_port_t v)
{
    return std::endian::native == std::endian::big ? v : static_cast<in_port_t>(v >> 8 | v << 8);
}

// Port 9930 on every local IPv4 address (INADDR_ANY is 0 in any byte order).
static const struct sockaddr_in local_addr = {
    .sin_family = AF_INET, .sin_port = network_order(PORT), .sin_addr = {INADDR_ANY}, .sin_zero = {}};
static char buf[MAX_DATAGRAM + 1];
static char stdout_buf[BUFSIZ];

// Does nothing: its only job is to make SIGUSR1 interrupt the wait.
static void wake_up(int)
{
}

// Descriptors 0, 1 and 2 open, on /dev/null where they were closed, so
// that the socket never becomes standard output. (The last /dev/null opened
// stays open: one descriptor, for less code than closing it.)
static void open_standard_descriptors()
{
    for (int i = 0; i < 3 && open("/dev/null", O_RDWR) < 3; i++) {
    }
}

// A datagram as it is shown: into a pipe or a file the bytes as they are;
// on a terminal the control bytes as \xNN, so that a datagram cannot drive
// the operator's terminal.
static char shown[MAX_DATAGRAM * 4 + 1];

static const char *printable(const char *text, bool terminal)
{
    static const char HEX[] = "0123456789abcdef";
    if (!terminal)
        return text;
    char *o = shown;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7f) {
            *o++ = '\\';
            *o++ = 'x';
            *o++ = HEX[*p >> 4];
            *o++ = HEX[*p & 15];
        } else {
            *o++ = static_cast<char>(*p);
        }
    }
    *o = '\0';
    return shown;
}

int main()
{
    struct sigaction sa;

    open_standard_descriptors();
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    // One line per datagram, out at once, also into a pipe
    // (`udpsink | tee capture.txt`); an interrupt loses nothing printed.
    setvbuf(stdout, stdout_buf, _IOLBF, sizeof(stdout_buf));

    // No SA_RESTART: select fails with EINTR and the loop goes on.
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = wake_up;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);

    sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket() failed");
        exit(-1);
    }

    if (bind(sock, reinterpret_cast<const struct sockaddr *>(&local_addr), sizeof(local_addr)) < 0) {
        perror("bind() failed");
        exit(-1);
    }

    printf("Listening on port %d\n", PORT);

    for (;;) {
        fd_set read_set;
        struct timeval timeout;
        struct sockaddr_in sender;
        socklen_t sender_len;
        ssize_t len;
        int ready;

        // select may change both, so they are rebuilt for every wait.
        FD_ZERO(&read_set);
        FD_SET(sock, &read_set);
        timeout.tv_sec = 0;
        timeout.tv_usec = WAIT_USEC;

        ready = select(sock + 1, &read_set, nullptr, nullptr, &timeout);
        if (ready < 0) {
            int err = errno;

            puts("Error or signal");
            if (err == EINTR)
                continue;
            errno = err;
            perror("select() failed");
            exit(-1);
        }
        if (ready == 0)
            continue;

        sender_len = sizeof(sender);
        len = recvfrom(sock, buf, MAX_DATAGRAM, 0, reinterpret_cast<struct sockaddr *>(&sender), &sender_len);
        if (len < 0) {
            perror("recvfrom() failed");
            exit(-1);
        }
        if (len == 0) {
            puts("The socket closed ?!?!");
            continue;
        }
        // Printed as text: the line ends at the first NUL of the datagram.
        buf[len] = '\0';
        puts(printable(buf, terminal));
    }
}
