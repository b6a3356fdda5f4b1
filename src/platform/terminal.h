// The standard streams as a program in a terminal or a pipeline meets them: progress lines are
// drawn only on a terminal, and a pipe whose reader has gone ends the program quietly.
#pragma once

#include <string>
#include <string_view>

namespace tarvel {

// Whether the user's character set (LC_ALL, LC_CTYPE or LANG, whatever the program's own locale)
// takes a byte 0x80 to 0x9F for a C1 control, as the ISO 8859 sets do: a terminal in such a set
// takes 0x9B for the start of a command, as it takes ESC [. `locale_name` "" is the user's.
bool LocaleHasC1ControlBytes(const char* locale_name = "");

// A file name as one line of a message: control characters (a line feed, a carriage return that
// would print over the line, and the C1 controls U+0080 to U+009F in their UTF-8 form) written
// as \xNN escapes, a byte each; with `c1_control_bytes`, a lone byte 0x80 to 0x9F too.
std::string PrintableName(std::string_view name);
std::string PrintableName(std::string_view name, bool c1_control_bytes);

// Gives each standard stream the program was started without (a script's `2>&-`) /dev/null opened
// the other way (read-only for an output), before anything else is opened. Otherwise the next file
// opened would take its number, and what is meant for that stream (a message, a summary) would go
// into an output or a movie. Using it still fails, as it did on the closed stream. Where
// `placeholder` cannot be opened, a handle that can be neither read nor written holds the number.
void StandardStreams_HoldClosed(const char* placeholder = "/dev/null");

// True when standard error is a terminal.
bool StandardErrorIsTerminal();
// False while standard error is the terminal of a job that is not in its foreground (one put in
// the background with `&`, or with Ctrl-Z and `bg`): what it draws there lands on the shell's
// prompt, and under `stty tostop` writing stops the job. True otherwise, for a file or a pipe too.
bool StandardErrorInForeground();
// True when standard output is a terminal (binary data meant for a pipe would go to the screen).
bool StandardOutputIsTerminal();
// True when `path` reaches the file, pipe or socket standard output is open on (/dev/stdout, a
// link to it, /dev/fd/N of a copy, the file's own name): a line printed to standard output would
// land among what is written there. A terminal or a device such as /dev/null does not count.
bool NamesStandardOutput(const std::string& path);
// True when standard input is a terminal (a command meant to read a pipe was run without one).
bool StandardInputIsTerminal();

// A write into a pipe whose reader has gone (`kqm ... | head -c 100` once head has what it wants)
// fails with EPIPE from here on instead of ending the program on SIGPIPE, so that the program can
// remove the files it was writing before it ends. True when SIGPIPE was not ignored when the
// program started: then BrokenPipe_End should end it as the signal would have.
bool BrokenPipe_Defer();
// True when standard output is a pipe whose reader has gone.
bool StandardOutputReaderGone();
// Ends the program as SIGPIPE does (status 141 in a shell).
[[noreturn]] void BrokenPipe_End();

// A write past the file size limit (`ulimit -f`) fails with EFBIG, as on a full disk, instead of
// ending the program on SIGXFSZ with its outputs left under their temporary names.
void FileSizeLimit_ReportAsError();

}  // namespace tarvel
