// Text for the systemd journal, which wants UTF-8: the tool's messages are
// ISO-8859-1 bytes, and the journal would show them as "blob data".
#ifndef VINTREL_JOURNAL_TEXT_H
#define VINTREL_JOURNAL_TEXT_H

#include <cstdio>
#include <string>

// ISO-8859-1 bytes as UTF-8 (every byte is its own code point).
std::string latin1ToUtf8(const char *text, size_t size);

// When descriptor fd is the journal's stream (JOURNAL_STREAM names its
// device and inode), replaces *stream by one that writes to fd in UTF-8.
// Anywhere else nothing changes.
void utf8WhenJournal(FILE **stream, int fd);

#endif
