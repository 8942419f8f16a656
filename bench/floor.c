// SPDX-License-Identifier: ISC
/*
 * floor: the least a program doing tarnwick's job has to do, as a yardstick
 * for the benchmark. It takes tarnwick's command line and does, once each,
 * only the steps no implementation can skip: open the system log and write
 * the listening line, read /etc/config/lorawan in one pass, resolve the
 * server, open one socket, send one datagram and wait for one reply. An
 * uplink whose first byte asks for a downlink also sends the PULL_DATA on
 * the same socket and writes the first PULL_RESP's payload to
 * /var/iot/dldata. There are no checks beyond what keeps it from crashing.
 *
 *   floor stat | floor WORD RSSI SIZE | floor WORD   (usage line)
 */

#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

enum { SLOT = 64 };

static char server[SLOT] = "127.0.0.1", port[SLOT] = "1700", gateway_id[SLOT];
static char mail[SLOT], lati[SLOT], lon[SLOT], sf[SLOT], coderate[SLOT];
static char rx_frequency[SLOT] = "868100000";

static unsigned char datagram[2048];
static unsigned char reply[2048];

static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Copies the next word or quoted value at *p into out (SLOT bytes). */
static void take_word(const char **p, char *out)
{
    const char *s = *p;
    char quote = 0;
    size_t n = 0;

    while (*s == ' ' || *s == '\t')
        s++;
    if (*s == '\'' || *s == '"')
        quote = *s++;
    while (*s && *s != '\n' && (quote ? *s != quote : (*s != ' ' && *s != '\t'))) {
        if (n < SLOT - 1)
            out[n++] = *s;
        s++;
    }
    out[n] = '\0';
    if (quote && *s == quote)
        s++;
    *p = s;
}

static char *slot_for(const char *section, const char *name)
{
    static const struct {
        const char *section, *name;
        char *slot;
    } table[] = {
        {"general", "server", server}, {"general", "port", port},       {"general", "gateway_id", gateway_id},
        {"general", "mail", mail},     {"general", "lati", lati},       {"general", "long", lon},
        {"radio", "SF", sf},           {"radio", "coderate", coderate}, {"radio", "rx_frequency", rx_frequency},
    };
    size_t i;

    for (i = 0; i < sizeof table / sizeof table[0]; i++)
        if (!strcmp(table[i].section, section) && !strcmp(table[i].name, name))
            return table[i].slot;
    return NULL;
}

/* One read of the whole file, one pass over its lines. Kept out of line so
 * that the benchmark can show its cost apart from main's. */
__attribute__((noinline)) static void read_config(void)
{
    static char text[8192];
    char section[SLOT] = "", word[SLOT], name[SLOT], value[SLOT];
    const char *p = text;
    ssize_t len;
    int fd = open("/etc/config/lorawan", O_RDONLY);

    if (fd < 0)
        return;
    len = read(fd, text, sizeof text - 1);
    close(fd);
    if (len <= 0)
        return;
    text[len] = '\0';
    while (*p) {
        take_word(&p, word);
        if (!strcmp(word, "config")) {
            take_word(&p, name);
            take_word(&p, section);
        } else if (!strcmp(word, "option")) {
            char *slot;

            take_word(&p, name);
            take_word(&p, value);
            slot = slot_for(section, name);
            if (slot)
                memcpy(slot, value, SLOT);
        }
        p = strchr(p, '\n');
        if (!p)
            break;
        p++;
    }
}

static void put_header(unsigned char *out, int identifier, unsigned long long eui)
{
    int i;

    out[0] = 1;
    out[1] = (unsigned char)rand();
    out[2] = (unsigned char)rand();
    out[3] = (unsigned char)identifier;
    for (i = 0; i < 8; i++)
        out[4 + i] = (unsigned char)(eui >> (56 - 8 * i));
}

static int b64_encode(const unsigned char *in, int n, char *out)
{
    int i, len = 0;

    for (i = 0; i + 2 < n; i += 3) {
        unsigned v = (unsigned)in[i] << 16 | (unsigned)in[i + 1] << 8 | in[i + 2];
        out[len++] = b64[v >> 18];
        out[len++] = b64[v >> 12 & 63];
        out[len++] = b64[v >> 6 & 63];
        out[len++] = b64[v & 63];
    }
    if (i < n) {
        unsigned v = (unsigned)in[i] << 16 | (i + 1 < n ? (unsigned)in[i + 1] << 8 : 0);
        out[len++] = b64[v >> 18];
        out[len++] = b64[v >> 12 & 63];
        out[len++] = i + 1 < n ? b64[v >> 6 & 63] : '=';
        out[len++] = '=';
    }
    out[len] = '\0';
    return len;
}

static int b64_decode(const char *in, unsigned char *out, int cap)
{
    unsigned v = 0;
    int bits = 0, len = 0;

    for (; *in && *in != '"' && *in != '=' && len < cap; in++) {
        const char *c = strchr(b64, *in);

        if (!c)
            break;
        v = v << 6 | (unsigned)(c - b64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[len++] = (unsigned char)(v >> bits);
        }
    }
    return len;
}

/* One receive, 50 ms at most; the reply's length or -1. */
static ssize_t wait_reply(int fd)
{
    return recv(fd, reply, sizeof reply - 1, 0);
}

/* PULL_DATA, then the first PULL_RESP's payload into /var/iot/dldata. */
static void pull(int fd, unsigned long long eui)
{
    unsigned char payload[1024];
    unsigned char header[12];
    int tries;

    put_header(header, 2, eui);
    if (send(fd, header, sizeof header, 0) < 0)
        return;
    for (tries = 0; tries < 100; tries++) {
        ssize_t got = wait_reply(fd);
        const char *data;
        ssize_t done;
        int out, n;

        if (got < 4 || reply[3] == 4)
            continue;
        reply[got] = '\0';
        data = strstr((const char *)reply + 4, "\"data\":\"");
        if (!data)
            return;
        n = b64_decode(data + 8, payload, (int)sizeof payload);
        out = open("/var/iot/dldata", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0)
            return;
        done = write(out, payload, (size_t)n);
        (void)done; /* a short write has nobody to be reported to */
        close(out);
        return;
    }
}

int main(int argc, char **argv)
{
    struct addrinfo hints, *addrs;
    unsigned long long eui;
    int fd, len = 0, want_pull = 0;

    openlog("floor", LOG_PID | LOG_CONS, LOG_USER);
    if (argc < 2)
        return 1;
    read_config();

    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(server, port, &hints, &addrs) != 0)
        return 1;
    eui = strtoull(gateway_id, NULL, 16);
    syslog(LOG_NOTICE, "Listening at SF%sBW125 on %.6lf Mhz.\n", sf, atof(rx_frequency) / 1000000.0);

    if (strcmp(argv[1], "stat") == 0) {
        char when[24] = "";
        time_t now = time(NULL);

        strftime(when, sizeof when, "%F %T %Z", gmtime(&now));
        put_header(datagram, 0, eui);
        len = snprintf((char *)datagram + 12, sizeof datagram - 12,
                       "{\"stat\":{\"time\":\"%s\",\"lati\":%.5f,\"long\":%.5f,\"alti\":0,"
                       "\"rxnb\":0,\"rxok\":0,\"rxfw\":0,\"ackr\":0.0,\"dwnb\":0,\"txnb\":0,"
                       "\"pfrm\":\"RK30/RKW30\",\"mail\":\"%s\",\"desc\":\"\"}}",
                       when, (double)(float)atof(lati), (double)(float)atof(lon), mail);
    } else if (argc >= 4) {
        unsigned char payload[256];
        struct timeval tv;
        char *record = (char *)datagram + 12;
        int n, in = open("/var/iot/data", O_RDONLY);

        n = in < 0 ? 0 : (int)read(in, payload, sizeof payload);
        if (in >= 0)
            close(in);
        if (n < 0)
            n = 0;
        gettimeofday(&tv, NULL);
        put_header(datagram, 0, eui);
        len = snprintf(record, sizeof datagram - 12,
                       "{\"rxpk\":[{\"tmst\":%u,\"chan\": 0,\"rfch\": 0,\"freq\":%.6f,\"stat\":1,"
                       "\"modu\":\"LORA\",\"datr\":\"SF%sBW125\",\"codr\":\"4/%s\",\"lsnr\":9,"
                       "\"rssi\":%d,\"size\":%u,\"data\":\"",
                       (unsigned)tv.tv_sec * 1000000u + (unsigned)tv.tv_usec, atof(rx_frequency) / 1000000.0, sf,
                       coderate, atoi(argv[2]), (unsigned)atoi(argv[3]));
        len += b64_encode(payload, n, record + len);
        memcpy(record + len, "\"}]}", 4);
        len += 4;
        want_pull = n > 0 && (payload[0] & 7) == 0;
    } else {
        printf("Usage: %s rxpk rssi size\n", argv[0]);
    }

    if (len > 0) {
        struct timeval timeout = {0, 50000};

        fd = socket(addrs->ai_family, addrs->ai_socktype, addrs->ai_protocol);
        if (fd < 0 || connect(fd, addrs->ai_addr, addrs->ai_addrlen) != 0)
            return 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (send(fd, datagram, (size_t)len + 12, 0) < 0)
            return 1;
        wait_reply(fd);
        if (want_pull)
            pull(fd, eui);
    }
    closelog();
    freeaddrinfo(addrs);
    return 0;
}
