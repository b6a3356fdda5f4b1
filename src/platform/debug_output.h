// Diagnostic lines of the player. They keep their exact bytes (Windows-1252 text: "é" is the
// single byte 0xE9). By default they go nowhere; with TARVEL_DEBUG=1 in the environment they go
// to standard error; a test can capture them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tarvel {

// Writes one diagnostic text (normally a whole line ending in "\n").
void DebugOutput(const char* text);

// Receives every diagnostic text while installed. Called from any thread, one call at a time.
using DebugSink = void (*)(const char* text, void* user);

// Installs `sink` (null: back to the default behaviour). Returns the previous sink and its
// user value through the two out-parameters when they are given.
void SetDebugSink(DebugSink sink, void* user, DebugSink* previous = nullptr,
                  void** previous_user = nullptr);

// Collects the diagnostic texts written while it exists, from every thread, in order.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Lines() const;
  void Clear();

 private:
  static void Receive(const char* text, void* user);

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  DebugSink previous_ = nullptr;
  void* previous_user_ = nullptr;
};

}  // namespace tarvel
