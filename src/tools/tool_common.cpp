#include "tools/tool_common.h"

#include "encoder/movie_encoder.h"
#include "platform/stop_signals.h"
#include "platform/stoppable_stream.h"
#include "platform/terminal.h"
#include "platform/user_files.h"
#include "storage/tar_package.h"
#include "video/pixel_expand.h"

#include <png.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <type_traits>
#include <unordered_set>

namespace tarvel::tools {

int ExitStatusOfSignal(int signal) {
  return 128 + signal;
}

std::string StopSignalName(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGHUP) return "SIGHUP";
  return "signal " + std::to_string(signal);
}

std::string Counted(std::int64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string FramesPerSecond(double rate) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.4g", rate);
  return std::string(digits) + (std::strcmp(digits, "1") == 0 ? " frame" : " frames") +
         " per second";
}

int StatusAfterStop(const std::string& command, const std::string& path, int status,
                    const char* outcome) {
  const int signal = StopSignals_Received();
  if (signal == 0) return status;
  PrintError(command, path, "stopped by " + StopSignalName(signal) + outcome);
  return ExitStatusOfSignal(signal);
}

bool StopRequested() {
  return StopSignals_Received() != 0;
}

namespace {

// Set by EndQuietlyOnBrokenPipe; written once before any thread starts.
bool g_end_quietly_on_broken_pipe = false;
// A write to standard output failed (a command's thread may find it).
std::atomic<bool> g_standard_output_failed{false};
// A progress line stands on the terminal, without its line feed.
std::atomic<bool> g_progress_on_screen{false};

bool IsStandardOutputName(const std::string& file) {
  return file == "-" || file == "standard output";
}

}  // namespace

void EndQuietlyOnBrokenPipe() {
  g_end_quietly_on_broken_pipe = BrokenPipe_Defer();
}

bool StandardOutputReaderLeft() {
  return g_end_quietly_on_broken_pipe && g_standard_output_failed && StandardOutputReaderGone();
}

void PrintError(const std::string& command, const std::string& file, const std::string& message) {
  // What failed there is said by the way the program ends.
  if (IsStandardOutputName(file) && StandardOutputReaderLeft()) return;
  // A message takes the progress line's place, which the next update draws again below it.
  if (g_progress_on_screen.exchange(false)) std::fputs("\r\033[K", stderr);
  // The message may quote what an input holds (a stream's header, its bytes where a line should
  // be): its control bytes are escaped as a name's are.
  const std::string text = PrintableName(message);
  if (file.empty())
    std::fprintf(stderr, "%s: %s\n", command.c_str(), text.c_str());
  else
    std::fprintf(stderr, "%s: %s: %s\n", command.c_str(), PrintableName(file).c_str(),
                 text.c_str());
}

void PrintErrorUnlessStopped(const std::string& command, const std::string& file,
                             const std::string& message) {
  if (StopSignals_Received() == 0) PrintError(command, file, message);
}

int FinishStandardOutput(const std::string& command, int status) {
  const bool flushed = std::fflush(stdout) == 0;
  const int error = flushed ? 0 : errno;
  if (!flushed || std::ferror(stdout)) g_standard_output_failed = true;
  if (StandardOutputReaderLeft()) {
    std::fflush(stderr);
    BrokenPipe_End();
  }
  if (flushed && !std::ferror(stdout)) return status;
  std::clearerr(stdout);
  PrintError(command, "standard output",
             error != 0 ? std::string("write failed: ") + std::strerror(error) : "write failed");
  return status == 0 ? kExitFailure : status;
}

void AddVerbosityOptions(CLI::App& app, Verbosity* verbosity, const char* details) {
  auto* quiet = app.add_flag("-q,--quiet", verbosity->quiet,
                             "no progress line, notes or summary (errors and warnings stay)");
  auto* verbose = app.add_flag("-v,--verbose", verbosity->verbose, details);
  quiet->excludes(verbose);
}

bool IsDecimalDigits(std::string_view text, bool may_be_empty) {
  return (may_be_empty || !text.empty()) &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsDecimalNumber(std::string_view text) {
  const std::size_t point = text.find('.');
  return text.find_first_of("0123456789") != std::string_view::npos &&
         IsDecimalDigits(text.substr(0, point), true) &&
         (point == std::string_view::npos || IsDecimalDigits(text.substr(point + 1), true));
}

namespace {

// Whole numbers are decimal, zero-padded or not ("08", "010" is ten), as --frames and --size
// read theirs: the leading zeros, which the parser would take for an octal number, are dropped;
// false for text of anything but decimal digits ("0x10", "+5", which the parser would read). A
// minus stays, to be called out of range.
bool ToDecimal(std::string& text) {
  const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  if (!IsDecimalDigits(std::string_view(text).substr(digits))) return false;
  const std::size_t first = text.find_first_not_of('0', digits);
  text.erase(digits, (first == std::string::npos ? text.size() - 1 : first) - digits);
  return true;
}

std::string NotWholeNumber(const std::string& text) {
  return "Value " + text + " is not a whole number";
}

// CLI::Range, once the text has been read as a number of the option's kind: CLI::Range called
// text that is no such number (7.5 for a whole number, 2k) out of range, and took NaN, which no
// comparison fails, as within any range.
template <typename Number>
CLI::Validator CheckedRange(Number low, Number high, const char* kind) {
  const CLI::Range range(low, high);
  return CLI::Validator(
      [range, kind](std::string& text) {
        if constexpr (std::is_integral_v<Number>) {
          if (!ToDecimal(text)) return NotWholeNumber(text);
        } else {
          // The parser would also read "0x10", "1e1", "+5" and leading spaces. A minus stays,
          // to be called out of range.
          if (!IsDecimalNumber(
                  std::string_view(text).substr(!text.empty() && text[0] == '-' ? 1 : 0)))
            return "Value " + text + " is not " + kind;
        }
        Number value{};
        bool number = CLI::detail::lexical_cast(text, value);
        if constexpr (std::is_floating_point_v<Number>) number = number && !std::isnan(value);
        if (!number) return "Value " + text + " is not " + kind;
        return range(text);
      },
      range.get_description());
}

}  // namespace

CLI::Validator NumberRange(double low, double high) {
  return CheckedRange(low, high, "a number");
}

CLI::Validator WholeRange(std::int64_t low, std::int64_t high) {
  return CheckedRange(low, high, "a whole number");
}

void AddScaleAndPackageOptions(CLI::App& app, int* scale, std::string* package_path) {
  app.add_option("--scale", *scale,
                 "the pictures of a 640x480 movie enlarged to 800x600 or 1024x768, as the "
                 "player's scaled full-screen modes present them")
      ->transform(CLI::Validator(
          [](std::string& text) { return ToDecimal(text) ? std::string() : NotWholeNumber(text); },
          ""))
      ->check(CLI::IsMember({800, 1024}));
  app.add_option("--package", *package_path,
                 "read MOVIE out of this uncompressed tar archive, as the player's package "
                 "source does");
}

std::string PackageMemberName(const std::string& path) {
  std::size_t start = 0;
  while (path.size() - start > 2 && path[start] == '.' &&
         (path[start + 1] == '/' || path[start + 1] == '\\'))
    start += 2;
  return path.substr(start);
}

bool LoadPackage(TarPackage& package, const std::string& path, const std::string& command) {
  std::string error;
  if (path.empty() || package.Load(path, &error)) return true;
  PrintError(command, path, error);
  return false;
}

std::string MovieInMessages(const std::string& path, const std::string& package_path) {
  return package_path.empty() ? path : package_path + ": " + path;
}

std::string NotInPackageProblem(TarPackage& package, const std::string& member,
                                const std::string& package_path) {
  StorageLayer& storage = package.storage();
  if (Storage_PushDirectory(storage)) {
    const bool folder = Storage_ChangeDirectory(storage, member.c_str());
    Storage_PopDirectory(storage);
    if (folder) return "is a folder in " + package_path + ", not a movie";
  }
  return "not found in " + package_path +
         (package.has_end_block()
              ? ""
              : " (the archive lacks the zero block that ends a tar archive: it may be cut short)");
}

bool ParseCommandLine(CLI::App& app, int argc, char** argv, int* status) {
  // The parser gives an option the word after it whatever that word is: a script whose variable
  // is unset (`kqm demo -o $OUT --stats`) wrote a movie named "--stats" and said nothing. An
  // option of the command there is refused (a file of that name is ./--stats, or --video=--x).
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string word = argv[i], next = argv[i + 1];
    if (word == "--") break;
    const bool named = word.size() > 1 && word[0] == '-' && word.find('=') == std::string::npos;
    const CLI::Option* option = named ? app.get_option_no_throw(word) : nullptr;
    if (option == nullptr || option->get_items_expected_min() < 1) continue;
    if (next.size() > 1 && next[0] == '-' && app.get_option_no_throw(next) != nullptr) {
      PrintError(app.get_name(), "",
                 word + " is followed by the option " + next +
                     ", not by its value (a file of that name is ./" + next + ") (see '" +
                     app.get_name() + " --help')");
      *status = kExitUsage;
      return false;
    }
    ++i;  // the value, whatever it is
  }
  try {
    app.parse(argc, argv);
    // An empty file name or value is a script's unset variable, not a choice: refused rather
    // than taken as "not given" or looked up as a file without a name.
    for (const CLI::Option* option : app.get_options()) {
      const auto& values = option->results();
      if (option->count() == 0 || std::find(values.begin(), values.end(), "") == values.end())
        continue;
      PrintError(app.get_name(), "",
                 option->get_name() + " is empty (see '" + app.get_name() + " --help')");
      *status = kExitUsage;
      return false;
    }
    // A movie is read at any offset, which standard input does not allow: '-' names no movie
    // (out of an archive, MOVIE is a member's name).
    const CLI::Option* movie = app.get_option_no_throw("MOVIE");
    const CLI::Option* package = app.get_option_no_throw("--package");
    if (movie != nullptr && movie->count() > 0 && movie->results().front() == "-" &&
        (package == nullptr || package->count() == 0)) {
      PrintError(app.get_name(), "",
                 "MOVIE is '-', but movies are read from files, not from standard input (see '" +
                     app.get_name() + " --help')");
      *status = kExitUsage;
      return false;
    }
    return true;
  } catch (const CLI::CallForHelp& e) {
    *status = app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    *status = app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string message = e.what();
    // An option given twice (a script's default and the user's own) is named as such, in place
    // of the parser's "At Most 1 required but received 2".
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
      for (const CLI::Option* option : app.get_options()) {
        if (option->count() > 1 && option->get_items_expected_max() == 1)
          message = option->get_name() + " is given more than once";
      }
    }
    // A file named "-clip.kqm" is taken for an option, which leaves MOVIE unset: the word is
    // named rather than the missing value. Words without a dash leave the message alone: there
    // the option asked for is what is missing ("kqm demo out.kqm" wants -o).
    const std::vector<std::string> unexpected = app.remaining();
    const bool dashed =
        std::any_of(unexpected.begin(), unexpected.end(),
                    [](const std::string& word) { return word.rfind('-', 0) == 0; });
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && dashed) {
      message = unexpected.size() > 1 ? "The following arguments were not expected:"
                                      : "The following argument was not expected:";
      for (const std::string& word : unexpected) message += " " + word;
      message += "; a file whose name starts with '-' goes after '--'";
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
    // The parser quotes the words it refuses: their control bytes are escaped, as in every
    // message, so that the line stays one and a terminal takes nothing in it for a command.
    PrintError(app.get_name(), "", message + " (see '" + app.get_name() + " --help')");
    *status = kExitUsage;
  }
  return false;
}

Progress::Progress(std::string command, bool enabled)
    : command_(std::move(command)),
      enabled_(enabled && StandardErrorIsTerminal()),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

Progress::~Progress() {
  Finish();
}

void Progress::Update(std::int64_t done, std::int64_t total, const std::string& extra) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (tried_ && now - last_ < std::chrono::milliseconds(150) && done != total) return;
  tried_ = true;
  last_ = now;
  // A job in the background leaves the terminal to the shell: the line drawn before is no longer
  // the last one there.
  if (!StandardErrorInForeground()) {
    drawn_ = false;
    g_progress_on_screen = false;
    return;
  }
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::string line = command_ + ": frame " + std::to_string(done);
  char numbers[64];
  if (total > 0) {
    std::snprintf(numbers, sizeof numbers, "/%lld (%.0f%%)", static_cast<long long>(total),
                  100.0 * static_cast<double>(done) / static_cast<double>(total));
    line += numbers;
  }
  std::snprintf(numbers, sizeof numbers, ", %.1f frames/s", rate);
  line += numbers;
  if (!extra.empty()) line += ", " + extra;
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  drawn_ = true;
  g_progress_on_screen = true;
}

void Progress::Finish() {
  if (drawn_ && g_progress_on_screen.exchange(false) && StandardErrorInForeground())
    std::fprintf(stderr, "\n");
  drawn_ = false;
  tried_ = false;
}

PendingFile::~PendingFile() {
  Discard();
}

namespace {

// Whether two paths name the same regular file, or would once written (neither exists yet).
bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty() || a == "-" || b == "-") return false;
  std::error_code code;
  const auto status_a = std::filesystem::status(a, code);
  const auto status_b = std::filesystem::status(b, code);
  const bool exists_a = std::filesystem::exists(status_a);
  if (exists_a != std::filesystem::exists(status_b)) return false;
  if (exists_a) {
    return std::filesystem::is_regular_file(status_a) &&
           std::filesystem::is_regular_file(status_b) && std::filesystem::equivalent(a, b, code) &&
           !code;
  }
  const auto where = [&code](const std::string& path) {
    return std::filesystem::weakly_canonical(std::filesystem::absolute(FollowLinks(path)), code);
  };
  const auto where_a = where(a);
  const auto where_b = where(b);
  return !code && where_a == where_b;
}

// The file of the PNG sequence `pattern` that is `input` (under its own name or a link's in the
// sequence's folder), or empty.
std::string SequenceFileOf(const std::string& pattern, const std::string& input) {
  const std::filesystem::path where(pattern);
  const std::string name_pattern = where.filename().string();
  if (input.empty() || input == "-" || !IsFramePattern(name_pattern)) return {};
  const std::filesystem::path folder = where.has_parent_path() ? where.parent_path() : ".";
  std::error_code code;
  for (std::filesystem::directory_iterator it(folder, code), end; !code && it != end;
       it.increment(code)) {
    const std::string name = it->path().filename().string();
    // A name the sequence gives holds its frame number as a run of digits.
    for (std::size_t start = 0; start < name.size(); ++start) {
      std::size_t stop = start;
      while (stop < name.size() && stop - start < 18 &&
             std::isdigit(static_cast<unsigned char>(name[stop])))
        ++stop;
      if (stop == start ||
          FormatFramePattern(name_pattern, std::stoll(name.substr(start, stop - start))) != name)
        continue;
      const std::string file = where.has_parent_path() ? it->path().string() : name;
      if (SameFile(file, input)) return file;
      break;
    }
  }
  return {};
}

// The file `path` names: '-' is the standard stream open on `descriptor` (0 or 1).
std::string FileOfPath(const std::string& path, int descriptor) {
  return path == "-" ? "/dev/fd/" + std::to_string(descriptor) : path;
}

}  // namespace

bool CheckOutputsApart(const std::string& command, std::initializer_list<NamedPath> inputs,
                       std::initializer_list<NamedPath> outputs) {
  for (auto output = outputs.begin(); output != outputs.end(); ++output) {
    // Pictures or sound on the screen are of no use and can leave the terminal garbled.
    if (output->path == "-" && StandardOutputIsTerminal()) {
      PrintError(command, "",
                 std::string(output->name) +
                     " - writes to standard output, which is a terminal: redirect it to a file "
                     "or a pipe");
      return false;
    }
    // Standard input or output redirected from or to a file is that file under another name:
    // `kqm encode --video - -o clip.y4m < clip.y4m` replaced the clip it was reading.
    const std::string output_file = FileOfPath(output->path, 1);
    for (const NamedPath& input : inputs) {
      const std::string file = output->sequence ? SequenceFileOf(output->path, input.path)
                               : SameFile(output_file, FileOfPath(input.path, 0))
                                   ? (output->path == "-" ? "standard output" : output->path)
                                   : std::string();
      if (file.empty()) continue;
      PrintError(command, file,
                 std::string(output->name) + " names the input " + input.name +
                     ": writing it would destroy the input");
      return false;
    }
    for (auto other = outputs.begin(); other != output; ++other) {
      if (output->path == "-" && other->path == "-") {
        PrintError(command, "",
                   std::string(other->name) + " and " + output->name +
                       " cannot both go to standard output");
        return false;
      }
      // Standard output redirected to an output's file or pipe is that output too.
      const std::string other_file = FileOfPath(other->path, 1);
      const bool pipe = SameNamedPipe(output_file, other_file);
      if (!pipe && !SameFile(output_file, other_file)) continue;
      PrintError(command, output->path == "-" ? "standard output" : output->path,
                 std::string(other->name) + " and " + output->name +
                     (pipe ? " name the same pipe: its reader would get the two mixed"
                           : " name the same file: one output would replace the other"));
      return false;
    }
  }
  return true;
}

bool CheckMovieOutputsApart(const std::string& command, const std::string& movie,
                            const std::string& package, std::initializer_list<NamedPath> outputs) {
  const std::string movie_file = package.empty() ? movie : std::string();
  return CheckOutputsApart(command, {{"MOVIE", movie_file}, {"--package", package}}, outputs);
}

namespace {

// A random hidden name beside `file` for a file that stands in for it meanwhile ("part" a new
// one being written, "old" the one it replaces), to be made new. A name as long as a file name
// may be (255 bytes) is shortened in this form.
std::string HiddenNameBeside(const std::filesystem::path& file, const char* kind) {
  static std::mt19937_64 names{std::random_device{}()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%s-%08llx", kind,
                static_cast<unsigned long long>(names() & 0xFFFFFFFFu));
  const std::string name =
      "." + file.filename().string().substr(0, 255 - 1 - std::strlen(suffix)) + suffix;
  const std::filesystem::path folder = file.parent_path();
  return folder.empty() ? name : (folder / name).string();
}

}  // namespace

bool PendingFile::Create(const std::string& path, std::string* error) {
  Discard();
  // Renamed over, a file the shell opened to append (`-o /dev/stdout >> movies`) would lose what
  // it held; and a file written whole cannot be added to its end.
  if (bool appending = false; WritableFileDescriptorNamed(path, &appending) >= 0 && appending) {
    *error =
        "is open for appending (>>), and a movie's header is completed last: write it to a "
        "file of its own";
    return false;
  }
  // A link asked for stays a link, and its file gets the output.
  const std::filesystem::path final_path = FollowLinks(path);
  std::error_code code;
  const auto status = std::filesystem::status(final_path, code);
  // A descriptor's name (/dev/fd/N, as a shell's process substitution gives, or /proc/self/fd/N)
  // reaches a pipe, a socket or a file that has no name to rename onto (a memory file, a file
  // deleted since it was opened), where the link's text names nothing: that is written directly.
  const auto reached = std::filesystem::status(path, code);
  if (std::filesystem::exists(reached) && !std::filesystem::is_directory(reached) &&
      !(std::filesystem::exists(status) && std::filesystem::equivalent(path, final_path, code))) {
    path_ = path;
    temporary_ = path_;
    direct_ = true;
    return true;
  }
  if (std::filesystem::is_directory(status)) {
    *error = "is a folder";
    return false;
  }
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    // A device or a pipe is written as it is: a file renamed over it would take its place.
    path_ = final_path.string();
    temporary_ = path_;
    direct_ = true;
    return true;
  }
  // A file that may not be written (read-only, or on a read-only file system) is refused as cp
  // refuses it, before any work, rather than replaced behind its owner's back.
  if (std::filesystem::exists(status) && !MayWriteFile(final_path.string())) {
    *error = std::string("cannot be written: ") + std::strerror(errno);
    return false;
  }
  // Beside the final file (a rename does not cross file systems), hidden, and made new ("x"):
  // never an existing file, whatever another program put there.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = HiddenNameBeside(final_path, "part");
    fd_ = CreateNewFile(temporary, 0666);
    if (fd_ >= 0) {
      // A file of another user written again by the superuser stays that user's.
      KeepOwnerOf(final_path.string(), fd_);
      // A file written again keeps its permissions, given when it is put in place: a file only
      // its group may write could not be written by its maker meanwhile.
      keep_permissions_ = std::filesystem::exists(status);
      permissions_ = status.permissions();
      // Meanwhile it is readable by no more people than the file it replaces (a private file
      // rewritten was readable by all under its temporary name), its maker still writing it.
      if (keep_permissions_) {
        SetPermissionsOf(fd_, PermissionsOf(fd_) & (static_cast<mode_t>(permissions_) | 0600));
      }
      path_ = final_path.string();
      temporary_ = temporary;
      // A signal that ends the program at once (Ctrl-\, a second Ctrl-C) removes it first.
      signal_token_ = StopSignals_AddTemporaryFile(temporary_.c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  // What failed is the file made beside it: the folder's problem, even where the file itself
  // could be written (a file of one's own in a folder that is not).
  *error =
      std::string("cannot create a file in its folder: ") + std::strerror(errno ? errno : EEXIST);
  return false;
}

std::FILE* PendingFile::OpenStream() const {
  if (fd_ < 0) {
    errno = EBADF;
    return nullptr;
  }
  return OpenDescriptorOutput(fd_);
}

bool PendingFile::Commit(std::string* error, bool flush_to_disk) {
  if (direct_) {
    Discard();
    return true;
  }
  if (temporary_.empty()) return true;
  // On the disk before it takes the name: after a crash or a power cut the name holds the old
  // file or the whole new one, never an empty or partial one.
  if (flush_to_disk && !FlushToDisk(error)) return false;
  if (keep_permissions_) SetPermissionsOf(fd_, static_cast<mode_t>(permissions_));
  // Another file or a link put under its name meanwhile would take the output's place.
  if (!NamesOpenFile(temporary_, fd_)) {
    *error = "cannot put the file in place: its temporary file was replaced";
    Discard();
    return false;
  }
  CloseFile(fd_);
  fd_ = -1;
  if (flush_to_disk ? !RenameDurably(temporary_, path_)
                    : std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    *error = std::string("cannot put the file in place: ") + std::strerror(errno);
    Discard();
    return false;
  }
  temporary_.clear();
  StopSignals_RemoveTemporaryFile(signal_token_);
  signal_token_ = -1;
  return true;
}

bool PendingFile::FlushToDisk(std::string* error) {
  if (direct_ || temporary_.empty() || flushed_) return true;
  if (!FlushOpenFileToDisk(fd_)) {
    *error = std::string("cannot be written to the disk: ") + std::strerror(errno);
    Discard();
    return false;
  }
  flushed_ = true;
  return true;
}

void PendingFile::Discard() {
  if (!direct_ && !temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
  CloseFile(fd_);
  fd_ = -1;
  direct_ = false;
  flushed_ = false;
  StopSignals_RemoveTemporaryFile(signal_token_);
  signal_token_ = -1;
}

bool OpenEncoderOn(MovieEncoder& encoder, const PendingFile& output, int width, int height,
                   const MovieEncodeSettings& settings, PcmSound* sound) {
  return output.writes_directly()
             ? MovieEncoder_Open(encoder, output.temporary_path(), nullptr, width, height, settings,
                                 sound)
             : MovieEncoder_Open(encoder, output.OpenStream(), width, height, settings, sound);
}

OutputFile::~OutputFile() {
  Discard();
}

bool OutputFile::Open(const std::string& path, std::string* error) {
  cut_ = false;
  if (path == "-") {
    // A pipe there is written so that a stop ends a wait for its reader to read.
    file_ = OpenStoppableOutput(path);
    if (!file_) {
      if (error) *error = std::string("cannot write: ") + std::strerror(errno);
      return false;
    }
    is_stdout_ = true;
    return true;
  }
  // Standard output or another descriptor open on a file (`--audio /dev/stdout >> all.pcm`) is
  // written through it, as '-' is: renamed over, the file lost what it held before, where the
  // shell was asked to append.
  start_ = 0;
  appending_ = false;
  if (const int fd = WritableFileDescriptorNamed(path, &appending_); fd >= 0) {
    file_ = OpenDescriptorOutput(fd);
    if (!file_) {
      if (error) *error = std::string("cannot write: ") + std::strerror(errno);
      return false;
    }
    start_ = appending_ ? 0 : std::ftell(file_);
    return true;
  }
  std::string reason;
  if (!pending_.Create(path, &reason)) {
    if (error) *error = reason;
    return false;
  }
  // A named pipe's open waits for its reader, which a stop ends.
  file_ = pending_.writes_directly() ? OpenStoppableOutput(pending_.temporary_path())
                                     : pending_.OpenStream();
  if (!file_) {
    if (error) *error = std::string("cannot create: ") + std::strerror(errno);
    pending_.Discard();
    return false;
  }
  return true;
}

namespace {

// The stream's last failure was a stop signal ending its wait for a pipe's reader.
bool FailedByStop() {
  return errno == EINTR && StopSignals_Received() != 0;
}

}  // namespace

bool OutputFile::Write(const void* data, std::size_t size) {
  if (file_ && (size == 0 || std::fwrite(data, 1, size, file_) == size)) return true;
  cut_ = cut_ || (file_ && FailedByStop());
  if (is_stdout_ && !cut_) g_standard_output_failed = true;
  return false;
}

bool OutputFile::Seek(long offset) {
  return file_ && !is_stdout_ && !appending_ && start_ >= 0 &&
         std::fseek(file_, start_ + offset, SEEK_SET) == 0;
}

bool OutputFile::Close(std::string* error, bool flush_to_disk) {
  return Complete(error, flush_to_disk) && PutInPlace(error);
}

bool OutputFile::Complete(std::string* error, bool flush_to_disk) {
  flush_to_disk_ = flush_to_disk;
  if (!file_) return true;
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  cut_ = cut_ || (!ok && FailedByStop());
  if (cut_) {
    // What the pipe took stays there; the rest is the stop's, not a failure.
    Discard();
    return true;
  }
  if (file_ != stdout) ok = std::fclose(file_) == 0 && ok;
  // Standard output's error is reported here, once.
  if (is_stdout_) {
    if (!ok) g_standard_output_failed = true;
    if (file_ == stdout) std::clearerr(file_);
  }
  file_ = nullptr;
  if (!ok) {
    if (error) *error = std::string("write failed: ") + std::strerror(errno);
    pending_.Discard();
    return false;
  }
  std::string reason;
  if (flush_to_disk && !pending_.FlushToDisk(&reason)) {
    if (error) *error = reason;
    return false;
  }
  return true;
}

bool OutputFile::PutInPlace(std::string* error) {
  std::string reason;
  if (!pending_.Commit(&reason, flush_to_disk_)) {
    if (error) *error = reason;
    return false;
  }
  return true;
}

void OutputFile::Discard() {
  if (file_ && is_stdout_) {
    if (std::fflush(file_) != 0 || std::ferror(file_)) {
      cut_ = cut_ || FailedByStop();
      if (!cut_) g_standard_output_failed = true;
    }
    if (file_ == stdout) std::clearerr(file_);  // a failure there was the caller's to report
  }
  if (file_ && file_ != stdout) std::fclose(file_);
  file_ = nullptr;
  pending_.Discard();
}

std::string InputPathProblem(const std::string& path) {
  if (path == "-") return {};
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (code) return "cannot open: " + code.message();
  if (std::filesystem::is_directory(status)) return "is a folder";
  return {};
}

bool ParsePictureSize(const std::string& text, int* width, int* height) {
  const auto x = text.find('x');
  if (x == std::string::npos || !IsDecimalDigits(std::string_view(text).substr(0, x)) ||
      !IsDecimalDigits(std::string_view(text).substr(x + 1)))
    return false;
  try {
    std::size_t used = 0;
    *width = std::stoi(text.substr(0, x), &used);
    if (used != x) return false;
    *height = std::stoi(text.substr(x + 1), &used);
    return used == text.size() - x - 1 && *width > 0 && *height > 0;
  } catch (const std::exception&) {
    return false;
  }
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  if (suffix.size() > text.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[text.size() - suffix.size() + i]);
    const auto b = static_cast<unsigned char>(suffix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

bool IsFramePattern(const std::string& pattern) {
  int conversions = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    ++i;
    if (i < pattern.size() && pattern[i] == '%') continue;
    // A width of at most two digits: a file name holds no more than 255 bytes anyway.
    const std::size_t width_start = i;
    while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i]))) ++i;
    if (i - width_start > 2 || i >= pattern.size() || pattern[i] != 'd') return false;
    ++conversions;
  }
  return conversions == 1;
}

std::string FormatFramePattern(const std::string& pattern, std::int64_t index) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    ++i;
    if (pattern[i] == '%') {
      out += '%';
      continue;
    }
    const std::size_t start = i;
    while (std::isdigit(static_cast<unsigned char>(pattern[i]))) ++i;
    const std::string width = pattern.substr(start, i - start);
    std::string digits = std::to_string(index);
    const std::size_t wanted = width.empty() ? 0 : static_cast<std::size_t>(std::stoul(width));
    if (digits.size() < wanted) {
      const char fill = (!width.empty() && width[0] == '0') ? '0' : ' ';
      digits.insert(0, wanted - digits.size(), fill);
    }
    out += digits;
  }
  return out;
}

bool WritePng(const std::string& path, int width, int height, const std::uint8_t* rgb,
              std::string* error, bool flush_to_disk) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  OutputFile out;  // "-" is standard output
  if (!out.Open(path, error)) return false;
  // Written through a stream of ours: on failure the library's own file writer removes the
  // file, which for a device (/dev/full) would be the device itself.
  if (png_image_write_to_stdio(&image, out.file(), 0, rgb, 0, nullptr) == 0) {
    // A write that failed says why, as every output's does (the library says "Write Error").
    const int reason = errno;
    if (error)
      *error = std::ferror(out.file()) ? std::string("write failed: ") + std::strerror(reason)
                                       : std::string("cannot write PNG: ") + image.message;
    png_image_free(&image);
    out.Discard();
    return false;
  }
  return out.Close(error, flush_to_disk);
}

namespace {

// A writer of all pictures into one stream (a file or standard output).
class StreamPictureWriter : public PictureWriter {
 public:
  explicit StreamPictureWriter(const PictureFormat& format) : format_(format) {}
  virtual bool Open(const std::string& path, std::string* error) { return out_.Open(path, error); }
  bool Finish(std::string* error) override { return out_.Close(error); }

 protected:
  std::size_t PixelCount() const {
    return static_cast<std::size_t>(format_.width) * static_cast<std::size_t>(format_.height);
  }
  bool Put(const void* data, std::size_t size, std::string* error) {
    if (out_.Write(data, size)) return true;
    if (error) *error = std::string("write failed: ") + std::strerror(errno);
    out_.Discard();  // reported once, here: Finish then has nothing to put in place
    return false;
  }

  PictureFormat format_;
  OutputFile out_;
};

class RawWriter : public StreamPictureWriter {
 public:
  using StreamPictureWriter::StreamPictureWriter;
  bool Write(const std::uint16_t* pixels, std::int64_t, std::string* error) override {
    const std::size_t count = PixelCount();
    bytes_.resize(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
      bytes_[2 * i] = static_cast<std::uint8_t>(pixels[i] & 0xFF);
      bytes_[2 * i + 1] = static_cast<std::uint8_t>(pixels[i] >> 8);
    }
    return Put(bytes_.data(), bytes_.size(), error);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// BT.601 limited range from 8-bit RGB, rounded to the nearest code. The coefficients are the
// standard's to three decimals over 255 (luma 219 steps from 16, chroma 224 around 128); the
// common 8-bit approximation (66, 129, 25 >> 8) puts a tenth of the codes one off, pure red
// and green among them. Every sum is positive, so the division rounds as written.
std::uint8_t YuvCode(int offset, int kr, int kg, int kb, int r, int g, int b) {
  constexpr int kScale = 255000;
  return static_cast<std::uint8_t>((offset * kScale + kr * r + kg * g + kb * b + kScale / 2) /
                                   kScale);
}

void RgbToYuv(int r, int g, int b, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v) {
  *y = YuvCode(16, 65481, 128553, 24966, r, g, b);
  *u = YuvCode(128, -37797, -74203, 112000, r, g, b);
  *v = YuvCode(128, 112000, -93786, -18214, r, g, b);
}

class Y4mWriter : public StreamPictureWriter {
 public:
  using StreamPictureWriter::StreamPictureWriter;
  bool Open(const std::string& path, std::string* error) override {
    if (!out_.Open(path, error)) return false;
    char header[128];
    const int n = std::snprintf(
        header, sizeof header, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C444 XCOLORRANGE=LIMITED\n",
        format_.width, format_.height, format_.rate_numerator, format_.rate_denominator);
    return Put(header, static_cast<std::size_t>(n), error);
  }
  bool Write(const std::uint16_t* pixels, std::int64_t, std::string* error) override {
    const std::size_t count = PixelCount();
    rgb_.resize(count * 3);
    planes_.resize(count * 3);
    ExpandPixelsToRgb8(pixels, count, format_.format565, rgb_.data());
    for (std::size_t i = 0; i < count; ++i)
      RgbToYuv(rgb_[3 * i], rgb_[3 * i + 1], rgb_[3 * i + 2], &planes_[i], &planes_[count + i],
               &planes_[2 * count + i]);
    static const char kFrame[] = "FRAME\n";
    return Put(kFrame, 6, error) && Put(planes_.data(), planes_.size(), error);
  }

 private:
  std::vector<std::uint8_t> rgb_;
  std::vector<std::uint8_t> planes_;
};

// Keeps the regular file `target` under a hidden name beside it (a second name of the same file,
// or a copy where the file system has no such names), which `aside` gets; nothing, with `aside`
// empty, for a file that does not exist or is no regular file. False with `error` set when it
// cannot be kept.
bool SetAside(const std::filesystem::path& target, std::string* aside, std::string* error) {
  namespace fs = std::filesystem;
  aside->clear();
  std::error_code code;
  if (!fs::is_regular_file(fs::status(target, code))) return true;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = HiddenNameBeside(target, "old");
    fs::create_hard_link(target, name, code);
    if (code && code != std::errc::file_exists) {
      fs::copy_file(target, name, fs::copy_options::none, code);
      if (code && code != std::errc::file_exists) std::remove(name.c_str());
    }
    if (!code) {
      *aside = name;
      return true;
    }
    if (code != std::errc::file_exists) break;
  }
  if (error) *error = "cannot create a file in its folder: " + code.message();
  return false;
}

class PngWriter : public PictureWriter {
 public:
  PngWriter(std::string pattern, const PictureFormat& format)
      : pattern_(std::move(pattern)), format_(format) {}
  bool Write(const std::uint16_t* pixels, std::int64_t index, std::string* error) override {
    const std::string path = FormatFramePattern(pattern_, index);
    const std::size_t count = static_cast<std::size_t>(format_.width) * format_.height;
    rgb_.resize(count * 3);
    ExpandPixelsToRgb8(pixels, count, format_.format565, rgb_.data());
    // The file a picture replaces (a link's file) is kept until the sequence is finished, once,
    // however often the pattern names it.
    Replaced replaced{FollowLinks(path).string(), {}};
    const bool first = targets_.insert(replaced.target).second;
    std::error_code code;
    const bool made = first && !std::filesystem::exists(replaced.target, code);
    if (first && !SetAside(replaced.target, &replaced.aside, error)) {
      targets_.erase(replaced.target);
      if (error) *error = path + ": " + *error;
      return false;
    }
    // A flush of each picture would cost a long sequence minutes on a spinning disk; the
    // pictures are flushed together when the sequence is finished.
    if (WritePng(path, format_.width, format_.height, rgb_.data(), error, false)) {
      if (made || !replaced.aside.empty()) written_.push_back(std::move(replaced));
      if (flushed_.empty()) flushed_ = path;
      return true;
    }
    // The file is as it was.
    if (!replaced.aside.empty()) std::remove(replaced.aside.c_str());
    if (first) targets_.erase(replaced.target);
    if (error) *error = path + ": " + *error;
    return false;
  }
  bool Finish(std::string* error) override {
    // One flush of their file system serves all the pictures (folders that differ only by the
    // picture's number are not mount points).
    if (!flushed_.empty() && !FlushFileSystemOf(flushed_)) {
      if (error) *error = std::string("cannot be written to the disk: ") + std::strerror(errno);
      return false;
    }
    for (const Replaced& replaced : written_) {
      if (!replaced.aside.empty()) std::remove(replaced.aside.c_str());
    }
    written_.clear();
    return true;
  }
  // A sequence that was not finished is undone, as a single file would be: the files it replaced
  // are put back and those it made removed, last first.
  ~PngWriter() override {
    std::error_code code;
    for (auto it = written_.rbegin(); it != written_.rend(); ++it) {
      if (!it->aside.empty())
        std::rename(it->aside.c_str(), it->target.c_str());
      else if (std::filesystem::is_regular_file(std::filesystem::symlink_status(it->target, code)))
        std::remove(it->target.c_str());
    }
  }

 private:
  // A file a picture replaced (`aside` holds the old one) or made (`aside` empty).
  struct Replaced {
    std::string target;
    std::string aside;
  };
  std::vector<Replaced> written_;
  std::unordered_set<std::string> targets_;
  std::string flushed_;  // a picture written, whose file system is flushed at the end
  std::string pattern_;
  PictureFormat format_;
  std::vector<std::uint8_t> rgb_;
};

}  // namespace

std::string PictureOutputProblem(const std::string& path) {
  if (path == "-" || EndsWithNoCase(path, ".rgb") || EndsWithNoCase(path, ".raw") ||
      EndsWithNoCase(path, ".y4m"))
    return {};
  if (EndsWithNoCase(path, ".png"))
    return IsFramePattern(path) ? ""
                                : "a PNG export needs one %d in the name for the frame number "
                                  "(e.g. f%04d.png, a width of at most two digits)";
  return "unknown output kind: use .rgb, .raw, .y4m, a %d.png pattern or -";
}

std::unique_ptr<PictureWriter> OpenPictureWriter(const std::string& path,
                                                 const PictureFormat& format, std::string* error) {
  if (const std::string problem = PictureOutputProblem(path); !problem.empty()) {
    if (error) *error = problem;
    return nullptr;
  }
  if (EndsWithNoCase(path, ".png")) return std::make_unique<PngWriter>(path, format);
  std::unique_ptr<StreamPictureWriter> writer;
  if (EndsWithNoCase(path, ".y4m"))
    writer = std::make_unique<Y4mWriter>(format);
  else
    writer = std::make_unique<RawWriter>(format);
  if (!writer->Open(path, error)) return nullptr;
  return writer;
}

}  // namespace tarvel::tools
