#include "resolver_config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const int LINE_SIZE = 200;
const int TOKEN_SIZE = 40;
const int IP_SRV_SIZE = 50;

// Bytes of the configuration read at most: a real one is a few lines.
const long RESOLV_CONF_LIMIT = 64 * 1024;

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Copies the next white-space separated word of *cursor into word (size
// bytes) and advances *cursor past it. False when there is no word or it
// does not fit; the buffer is never written past its end.
bool nextWord(const char **cursor, char *word, int size)
{
    const char *cp = *cursor;
    while (*cp && isBlank(*cp))
        ++cp;
    const char *start = cp;
    while (*cp && !isBlank(*cp))
        ++cp;
    *cursor = cp;
    const long len = cp - start;
    if (len == 0 || len >= size)
        return false;
    memcpy(word, start, static_cast<size_t>(len));
    word[len] = '\0';
    return true;
}

// Opens path for reading only when it is (or links to) a regular file:
// a FIFO would block the run and a device could be read forever.
FILE *openRegularFile(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        f = fdopen(fd, "r");
    if (!f)
        close(fd);
    return f;
}

// The server a line names, judged by its own first two words.
bool nameserverOfLine(const char *buf, Endpoint *server)
{
    char token[TOKEN_SIZE];
    char ip_srv[IP_SRV_SIZE];
    const char *cursor = buf;
    if (!nextWord(&cursor, token, sizeof token) || !nextWord(&cursor, ip_srv, sizeof ip_srv))
        return false;
    if (strcasecmp(token, "nameserver") != 0)
        return false;
    return parseServerAddress(ip_srv, ScopeErrors::Ignore, server);
}

} // namespace

int getCurrentDns(Endpoint *servers, int capacity)
{
    FILE *fin = openRegularFile("/etc/resolv.conf");
    if (!fin)
        return 0;
    char buf[LINE_SIZE];
    int found = 0;
    // A line longer than the buffer arrives in pieces, each judged alone.
    while (found < capacity && ftell(fin) < RESOLV_CONF_LIMIT && fgets(buf, sizeof buf, fin)) {
        if (nameserverOfLine(buf, &servers[found]))
            ++found;
    }
    fclose(fin);
    return found;
}

bool getCurrentDns(Endpoint *server) { return getCurrentDns(server, 1) == 1; }
