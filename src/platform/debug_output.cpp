#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvel {

namespace {

// Never destroyed: the player's own static instance writes its stop lines at exit.
std::mutex& SinkMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
DebugSink g_sink = nullptr;
void* g_sink_user = nullptr;

bool DebugToStderr() {
  static const bool enabled = [] {
    const char* value = std::getenv("TARVEL_DEBUG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

}  // namespace

void DebugOutput(const char* text) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (g_sink != nullptr) {
    g_sink(text, g_sink_user);
  } else if (DebugToStderr()) {
    std::fwrite(text, 1, std::strlen(text), stderr);
    std::fflush(stderr);
  }
}

void SetDebugSink(DebugSink sink, void* user, DebugSink* previous, void** previous_user) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (previous != nullptr) *previous = g_sink;
  if (previous_user != nullptr) *previous_user = g_sink_user;
  g_sink = sink;
  g_sink_user = user;
}

DebugCapture::DebugCapture() {
  SetDebugSink(&DebugCapture::Receive, this, &previous_, &previous_user_);
}

DebugCapture::~DebugCapture() {
  SetDebugSink(previous_, previous_user_);
}

std::vector<std::string> DebugCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void DebugCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

void DebugCapture::Receive(const char* text, void* user) {
  auto* self = static_cast<DebugCapture*>(user);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.emplace_back(text);
}

}  // namespace tarvel
