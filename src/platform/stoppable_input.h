// Files read in a way a stop signal (StopSignals) can end: a named pipe that nobody writes to yet,
// or a pipe whose writer has gone quiet, would otherwise hold the program in its open or its read
// where Ctrl-C and kill cannot reach it, as their handlers let the waiting call go on.
#pragma once

#include <cstdio>
#include <string>

namespace tarvel {

// Opens `path` for reading ("-": standard input, which is not closed with the stream). Once a
// stop signal came, reads fail (ferror) with errno EINTR, and one waiting for data (or for a
// named pipe's writer) ends so when it comes. Nullptr with errno set when the file cannot be
// opened.
std::FILE* OpenStoppableInput(const std::string& path);

}  // namespace tarvel
