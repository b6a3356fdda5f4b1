// Pieces shared by the kqm subcommands: the command line, messages, progress and output files.
#pragma once

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {
class TarPackage;
struct MovieEncoder;
struct MovieEncodeSettings;
struct PcmSound;
}  // namespace tarvel

namespace tarvel::tools {

// Exit statuses: 1 for a problem with the input or output, 2 for a command line that cannot be
// followed.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A command stopped by SIGINT, SIGTERM or SIGHUP (platform/stop_signals) exits with 128 + the
// signal's number: 130, 143 or 129.
int ExitStatusOfSignal(int signal);
// "SIGINT", "SIGTERM", "SIGHUP" or "signal N".
std::string StopSignalName(int signal);
// "1 frame", "2 frames": a count and its noun, plural but for one.
std::string Counted(std::int64_t count, const char* noun);
// "12.5 frames per second", "1 frame per second": a rate to four digits and its unit.
std::string FramesPerSecond(double rate);
// `status`, or, once a stop signal has come, the line saying that `path` was not written and the
// signal's status: for commands that write nothing when stopped. `outcome` ends the line after
// the signal's name (a command that writes no file leaves "nothing written" out).
int StatusAfterStop(const std::string& command, const std::string& path, int status,
                    const char* outcome = ": nothing written");
// True once a stop signal has come: what the encoder asks between the blocks of a picture, so
// that a stop does not wait for the end of a frame (minutes at --effort 3 on a large picture).
bool StopRequested();

// "kqm <command>: <file>: <message>" on standard error, one line: control characters in the
// file name and the message are written as \xNN.
void PrintError(const std::string& command, const std::string& file, const std::string& message);
// PrintError, unless a stop signal has come: a failure the stop caused (a wait for a pipe's other
// end that it ended) is said by the stop's own line.
void PrintErrorUnlessStopped(const std::string& command, const std::string& file,
                             const std::string& message);

// The status of a command that ended with `status` once what it printed on standard output is
// flushed: a write that failed there (a full disk, a closed output) is an error line and status
// kExitFailure, never a success. After EndQuietlyOnBrokenPipe, a write that failed because the
// reader of a pipe went away ends the program here as SIGPIPE would have, without a line.
int FinishStandardOutput(const std::string& command, int status);

// For main, before a command runs: a reader of standard output that stops early (`| head`) makes
// the writes there fail instead of killing the program on the spot, so that the command stops
// and removes the files it was writing; then FinishStandardOutput ends it as SIGPIPE would have,
// quietly. Nothing changes for a program started with SIGPIPE ignored, whose failed writes are
// errors.
void EndQuietlyOnBrokenPipe();
// True once a write to standard output has failed because its reader went away, in a program
// that is to end quietly for it: lines about standard output are then left out.
bool StandardOutputReaderLeft();

// -q/--quiet and -v/--verbose, which every subcommand takes. Quiet drops the progress line,
// notes and summaries (errors and warnings stay); verbose adds `details`, what its help says.
struct Verbosity {
  bool quiet = false;
  bool verbose = false;
};
inline constexpr char kNoMoreDetails[] =
    "accepted as by every command; this one has no more details to give";
void AddVerbosityOptions(CLI::App& app, Verbosity* verbosity, const char* details = kNoMoreDetails);

// Text of decimal digits alone (no sign, space or point), as the number options take theirs;
// empty text passes only when `may_be_empty`.
bool IsDecimalDigits(std::string_view text, bool may_be_empty = false);
// Decimal digits with at most one point and at least one digit ("2.5", ".5", "5."), as the
// options with a fraction take theirs: no sign, exponent, hexadecimal or space.
bool IsDecimalNumber(std::string_view text);

// CLI::Range for a number that may have a fraction, and for a whole number: text that is no
// such number (NaN, 7.5 for a whole number, 2k, 0x10, 1e1, +5) is said to be so rather than out
// of range. A
// whole number is read as decimal even with leading zeros, which WholeRange writes out of the
// text: give it to an option's transform(), not check().
CLI::Validator NumberRange(double low, double high);
CLI::Validator WholeRange(std::int64_t low, std::int64_t high);

// --scale 800|1024 (the pictures of a 640x480 movie as the scaled full-screen modes present
// them) and --package ARCHIVE.tar (the movie read out of a tar archive as the player's package
// source reads it), which play and export share.
void AddScaleAndPackageOptions(CLI::App& app, int* scale, std::string* package_path);

// The name looked up in the --package archive for MOVIE `path`: as given, without a leading
// "./" (or the same with a backslash), since `tar -tf` lists the members of an archive made from
// "." that way.
std::string PackageMemberName(const std::string& path);
// Loads the tar archive that --package names into `package` (nothing when `path` is empty).
// False after the error line.
bool LoadPackage(TarPackage& package, const std::string& path, const std::string& command);
// How messages name the movie: MOVIE, or ARCHIVE.tar: MOVIE when it is read out of an archive,
// so that a script going through several archives learns which one holds the damaged movie.
std::string MovieInMessages(const std::string& path, const std::string& package_path);
// "not found in PACKAGE_PATH", saying so when the archive may have been cut short, or "is a
// folder in PACKAGE_PATH" when the member name asked for is one.
std::string NotInPackageProblem(TarPackage& package, const std::string& member,
                                const std::string& package_path);

// Parses the command line. False when the command is not to run: after --help (status 0), or
// on a usage error, reported as "kqm <command>: <what is wrong>" with a pointer to --help
// (status kExitUsage).
bool ParseCommandLine(CLI::App& app, int argc, char** argv, int* status);

// The help of the encoder's --effort, for encode and demo alike. Measured at 320x240 against the
// default: 2 takes about 8 times as long, 3 (every copy searched) about 3,000 times.
inline constexpr char kEffortHelp[] =
    "search effort 0-3 (default 1; 2 is several times slower, 3 thousands of times: half a "
    "minute or more a 320x240 frame)";

// The progress line of long work, on standard error when it is a terminal, in one format for
// every subcommand: "kqm <command>: frame N/M (P%), R frames/s[, extra]" ("frame N" when the
// total is not known).
class Progress {
 public:
  explicit Progress(std::string command, bool enabled = true);
  ~Progress();
  // Redraws at most a few times a second. `total` 0 = unknown.
  void Update(std::int64_t done, std::int64_t total, const std::string& extra = {});
  void Finish();
  // Whether the line is drawn at all.
  bool enabled() const { return enabled_; }

 private:
  std::string command_;
  bool enabled_;
  bool drawn_ = false;
  bool tried_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

// A file made under a temporary name in its final folder and renamed into place by Commit(), so
// that a command that fails (or is killed) leaves no partial output behind under the name asked
// for. Dropped with its temporary file unless committed. A link is followed and kept; a device
// or a pipe (/dev/null, a FIFO) is written directly, and its "temporary" path is its own.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  // Makes the temporary file beside `path`. False with `error` set (without the path) when the
  // path is a folder, a file that may not be written, or the folder cannot be written.
  bool Create(const std::string& path, std::string* error);
  // The temporary file's name, for its messages; it is written through OpenStream. An output
  // written directly (a device, a pipe, a descriptor's name) is this name, opened as it is.
  const std::string& temporary_path() const { return temporary_; }
  bool writes_directly() const { return direct_; }
  // A stream that writes the temporary file through the descriptor it was made with, never its
  // name: in a folder another user may write, the name could lead to another file by then (a
  // link to a file of the superuser's). Null, errno set, when it cannot be opened, and for an
  // output written directly.
  std::FILE* OpenStream() const;
  // Flushes the temporary file to the disk and renames it to the final path; without
  // `flush_to_disk` the caller flushes it later (many files at once).
  bool Commit(std::string* error, bool flush_to_disk = true);
  // Flushes the temporary file to the disk now, so that Commit only renames it. False (the
  // file removed) with `error` set when the flush fails.
  bool FlushToDisk(std::string* error);
  // Removes the temporary file (nothing when committed).
  void Discard();

 private:
  std::string path_;
  std::string temporary_;
  int fd_ = -1;  // the temporary file, open from its making to its rename or removal
  bool direct_ = false;
  bool flushed_ = false;  // FlushToDisk done
  // The permissions of the file replaced, for the new one.
  bool keep_permissions_ = false;
  std::filesystem::perms permissions_ = std::filesystem::perms::none;
  // The temporary file's registration for removal by a signal that ends the program at once
  // (platform/stop_signals).
  int signal_token_ = -1;
};

// Opens `encoder` on `output`: through the descriptor its temporary file was made with, or, for
// an output written directly (a device), by its name, where a named pipe is refused before it is
// opened. False with the encoder's error set.
bool OpenEncoderOn(MovieEncoder& encoder, const PendingFile& output, int width, int height,
                   const MovieEncodeSettings& settings, PcmSound* sound);

// An output stream: a file written through a PendingFile, or standard output for "-". A named
// pipe's open waiting for its reader, and a write waiting for a pipe's reader to read, end when
// a stop signal comes (platform/stoppable_stream): the open fails, the write cuts the output.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // an output that was not closed is dropped
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool Open(const std::string& path, std::string* error);
  bool Write(const void* data, std::size_t size);
  bool Seek(long offset);  // files only
  // Flushes, closes and puts the file in place under its name (see PendingFile::Commit).
  bool Close(std::string* error, bool flush_to_disk = true);
  // Close in two steps, for outputs that are put in place together: Complete flushes and closes
  // the file (to the disk too, with `flush_to_disk`), PutInPlace then gives it its name.
  bool Complete(std::string* error, bool flush_to_disk = true);
  bool PutInPlace(std::string* error);
  // Closes and removes the file.
  void Discard();
  bool is_open() const { return file_ != nullptr; }
  bool is_stdout() const { return is_stdout_; }
  std::FILE* file() const { return file_; }
  // A stop signal ended a write's wait for a pipe's reader: the output ends there, and its Close
  // succeeds. No failure to report.
  bool cut() const { return cut_; }

 private:
  std::FILE* file_ = nullptr;
  bool is_stdout_ = false;
  // Written through a descriptor the name reaches: seeks are from where it stood, and none when
  // it appends.
  long start_ = 0;
  bool appending_ = false;
  bool cut_ = false;
  bool flush_to_disk_ = true;
  PendingFile pending_;
};

// A file a command line names, with the option or argument that names it ("--video", "MOVIE").
struct NamedPath {
  const char* name;
  const std::string& path;
  bool sequence = false;  // a PNG sequence's %d pattern: each of its files is an output
};

// Refuses a command line on which an output would overwrite one of the inputs or another output:
// the same file under any name (a link, a hard link, another spelling of its path) counts, and
// so does an input that a sequence's file would replace (named as one of them, or linked so).
// Empty paths and devices never clash, nor do pipes but two outputs into one named pipe; "-"
// clashes only with another output "-" (both to standard output) and with a file that standard
// input or output is redirected from or to, and is refused when standard output is a terminal.
// False after the error line (status kExitUsage).
bool CheckOutputsApart(const std::string& command, std::initializer_list<NamedPath> inputs,
                       std::initializer_list<NamedPath> outputs);
// The same for a command that reads MOVIE from its file or, with --package PACKAGE, out of an
// archive, where it is no file of its own.
bool CheckMovieOutputsApart(const std::string& command, const std::string& movie,
                            const std::string& package, std::initializer_list<NamedPath> outputs);

// The problem with reading `path` as an input file, or empty: "is a folder" for a folder, the
// system's reason when it cannot be found. Pipes and devices are accepted; other problems
// (permissions) are the open's to report.
std::string InputPathProblem(const std::string& path);

// Writes the pictures of an export in one of the supported forms, chosen by the path:
// ".rgb"/".raw" or "-" raw little-endian 16-bit pixels, ".y4m" YUV4MPEG2 4:4:4 (BT.601 limited
// range), a name holding one printf-style %d and ending in ".png" one PNG per picture.
// The output appears under its name when Finish() succeeds; a writer dropped unfinished removes
// what it wrote and leaves the files it would have replaced as they were.
class PictureWriter {
 public:
  virtual ~PictureWriter() = default;
  virtual bool Write(const std::uint16_t* pixels, std::int64_t index, std::string* error) = 0;
  virtual bool Finish(std::string* error) = 0;
};

struct PictureFormat {
  int width = 0;
  int height = 0;
  bool format565 = false;
  int rate_numerator = 15;  // frames per second as a fraction, for y4m
  int rate_denominator = 1;
};

// Why `path` names no form of pictures OpenPictureWriter writes; empty when it names one.
std::string PictureOutputProblem(const std::string& path);
// Null with `error` set when the path names no supported form or cannot be opened.
std::unique_ptr<PictureWriter> OpenPictureWriter(const std::string& path,
                                                 const PictureFormat& format, std::string* error);

// Writes 8-bit RGB triples, rows back to back, as a PNG file (through a PendingFile), or to
// standard output for "-". False with `error` set (without the path) when it cannot be written.
bool WritePng(const std::string& path, int width, int height, const std::uint8_t* rgb,
              std::string* error, bool flush_to_disk = true);

// True when `pattern` holds exactly one %d conversion (with an optional width of at most two
// digits, zero-padded when it starts with 0) and every other % is doubled.
bool IsFramePattern(const std::string& pattern);
std::string FormatFramePattern(const std::string& pattern, std::int64_t index);

// "WxH" with two positive numbers and nothing else.
bool ParsePictureSize(const std::string& text, int* width, int* height);

bool EndsWithNoCase(const std::string& text, const std::string& suffix);

}  // namespace tarvel::tools
