// Pieces shared by the kqm subcommands: messages, progress and picture output files.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tarvel::tools {

// "kqm <command>: <file>: <message>" on standard error.
void PrintError(const std::string& command, const std::string& file, const std::string& message);

// A one-line progress display on standard error, drawn only when it is a terminal.
class Progress {
 public:
  explicit Progress(std::string label, bool enabled = true);
  ~Progress();
  // Redraws at most a few times a second. `total` 0 = unknown.
  void Update(std::int64_t done, std::int64_t total, const std::string& extra = {});
  void Finish();

 private:
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

// An output stream: a file, or standard output for "-".
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool Open(const std::string& path, std::string* error);
  bool Write(const void* data, std::size_t size);
  bool Seek(long offset);  // files only
  bool Close(std::string* error);
  bool is_stdout() const { return is_stdout_; }
  std::FILE* file() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
  bool is_stdout_ = false;
  std::string path_;
};

// Writes the pictures of an export in one of the supported forms, chosen by the path:
// ".rgb"/".raw" or "-" raw little-endian 16-bit pixels, ".y4m" YUV4MPEG2 4:4:4 (BT.601 limited
// range), a name holding one printf-style %d and ending in ".png" one PNG per picture.
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

// Null with `error` set when the path names no supported form or cannot be opened.
std::unique_ptr<PictureWriter> OpenPictureWriter(const std::string& path,
                                                 const PictureFormat& format, std::string* error);

// Writes 8-bit RGB triples, rows back to back, as a PNG file. False with `error` set (without
// the path) when the file cannot be written.
bool WritePng(const std::string& path, int width, int height, const std::uint8_t* rgb,
              std::string* error);

// True when `pattern` holds exactly one %d conversion (with optional zero-padded width) and
// every other % is doubled.
bool IsFramePattern(const std::string& pattern);
std::string FormatFramePattern(const std::string& pattern, std::int64_t index);

bool EndsWithNoCase(const std::string& text, const std::string& suffix);

}  // namespace tarvel::tools
