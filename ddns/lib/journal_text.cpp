#include "journal_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

std::string latin1ToUtf8(const char *text, size_t size)
{
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

bool isJournal(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    struct stat st;
    if (!stream || fstat(fd, &st) != 0)
        return false;
    unsigned long long dev = 0, ino = 0;
    char end = 0;
    return sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) == 2 && dev == st.st_dev &&
           ino == st.st_ino;
}

// The cookie is the descriptor; every byte handed over is written, or the
// write fails. A failure is 0, never negative: the C library would count a
// negative result as bytes to take back, and read past the caller's text.
ssize_t writeUtf8(void *cookie, const char *buf, size_t size)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    const std::string text = latin1ToUtf8(buf, size);
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

} // namespace

void utf8WhenJournal(FILE **stream, int fd)
{
    if (!isJournal(fd))
        return;
    const cookie_io_functions_t io = {nullptr, writeUtf8, nullptr, nullptr};
    if (FILE *converted = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "w", io)) {
        setvbuf(converted, nullptr, fd == STDERR_FILENO ? _IONBF : _IOFBF, BUFSIZ);
        *stream = converted;
    }
}
