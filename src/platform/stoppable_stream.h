// Files read and written in a way a stop signal (StopSignals) can end: a named pipe that nobody
// writes to or reads yet, or a pipe whose other end has gone quiet, would otherwise hold the
// program in its open, its read or its write, where Ctrl-C and kill cannot reach it, as their
// handlers let the waiting call go on.
#pragma once

#include <cstdio>
#include <string>

namespace tarvel {

// Opens `path` for reading ("-": standard input, which is not closed with the stream). Once a
// stop signal came, reads fail (ferror) with errno EINTR, and one waiting for data (or for a
// named pipe's writer) ends so when it comes. Nullptr with errno set when the file cannot be
// opened.
std::FILE* OpenStoppableInput(const std::string& path);

// Opens `path` for writing as fopen(path, "wb") does ("-": standard output, which is not closed
// with the stream; `stdout` itself when it is no pipe). The open of a named pipe waits for its
// reader, and a write into a pipe or a socket for room there, until a stop signal comes: the
// open then fails with errno EINTR (nothing opened); a write goes on while the reader takes
// data, and fails (ferror) with EINTR once it has taken nothing for a second after the stop, or
// two seconds after the stop whatever it takes.
// Other files are written as usual. Nullptr with errno set when the file cannot be opened.
std::FILE* OpenStoppableOutput(const std::string& path);

// The descriptor of this process that `path` names (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or
// a link to one of them) when it is open for writing on a regular file, as a shell's `> file`
// or `>> file` gives; -1 otherwise. `appending` says whether it was opened to append.
int WritableFileDescriptorNamed(const std::string& path, bool* appending);

// Opens a stream that writes through descriptor `fd` (a second descriptor for the same open
// file: the writes go where the first one's would, at its offset or, appending, at the end).
// What standard output's stream holds goes out first. Nullptr with errno set.
std::FILE* OpenDescriptorOutput(int fd);

// Whether `a` and `b` name the same named pipe (under any names): what two outputs write into it
// reaches its reader mixed.
bool SameNamedPipe(const std::string& a, const std::string& b);

}  // namespace tarvel
