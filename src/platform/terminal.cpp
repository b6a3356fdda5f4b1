#include "platform/terminal.h"

#include "platform/stop_signals.h"
#include "platform/utf8.h"

#include <ctype.h>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace tarvel {

bool LocaleHasC1ControlBytes(const char* locale_name) {
  const locale_t locale = ::newlocale(LC_CTYPE_MASK, locale_name, static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return false;
  const bool controls = iscntrl_l(0x9B, locale) != 0;
  ::freelocale(locale);
  return controls;
}

std::string PrintableName(std::string_view name) {
  // Asked once: the user's locale does not change while the program runs.
  static const bool c1_control_bytes = LocaleHasC1ControlBytes();
  return PrintableName(name, c1_control_bytes);
}

std::string PrintableName(std::string_view name, bool c1_control_bytes) {
  std::string out;
  // A C1 control in its UTF-8 form is escaped whole, both its bytes.
  bool c1_control = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const bool control = Utf8_IsControl(name, i);
    const bool c1_lead = control && byte == 0xC2;
    const bool c1_byte = c1_control_bytes && byte >= 0x80 && byte <= 0x9F;
    if (!control && !c1_control && !c1_byte) {
      out += name[i];
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
    }
    c1_control = c1_lead;
  }
  return out;
}

void StandardStreams_HoldClosed(const char* placeholder) {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, the streams below it being open. Opened the other way,
    // so that reading or writing it still fails as on the closed stream; without it, a handle
    // on the root folder that is only a place serves, which fails both.
    int held = ::open(placeholder, stream == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held < 0) held = ::open("/", O_PATH);
    if (held >= 0 && held != stream) ::close(held);
  }
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool StandardErrorInForeground() {
  // A terminal that is not the program's own (no job control over it) says -1.
  const pid_t foreground = ::tcgetpgrp(STDERR_FILENO);
  return foreground == -1 || foreground == ::getpgrp();
}

bool StandardOutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

bool NamesStandardOutput(const std::string& path) {
  struct stat named {};
  struct stat output {};
  if (path.empty() || ::stat(path.c_str(), &named) != 0 || ::fstat(STDOUT_FILENO, &output) != 0)
    return false;
  const bool keeps_data =
      S_ISREG(output.st_mode) || S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode);
  return keeps_data && named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool BrokenPipe_Defer() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction before {};
  if (::sigaction(SIGPIPE, &ignore, &before) != 0) return false;
  return before.sa_handler != SIG_IGN;
}

bool StandardOutputReaderGone() {
  // A pipe without a reader polls as an error; a file, a terminal or a live pipe does not.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

void BrokenPipe_End() {
  EndAsSignalDoes(SIGPIPE);
}

void FileSizeLimit_ReportAsError() {
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tarvel
