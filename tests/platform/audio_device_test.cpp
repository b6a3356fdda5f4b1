// The capture device and the SDL2 device: queue order, done-messages, pause, reset and close.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture_audio_device.h"
#include "platform/card_watch.h"
#include "platform/deadline_audio_device.h"
#include "platform/gated_audio_device.h"
#include "support/stuck_device.h"

namespace tarvel {
namespace {

// Collects the done-messages a device sends.
struct DoneLog {
  std::mutex mutex;
  std::vector<WaveHeader*> done;
  std::atomic<int> count{0};
  static void Callback(void* user, std::uint32_t message, WaveHeader* header) {
    if (message != kWaveDoneMessage) return;
    auto& self = *static_cast<DoneLog*>(user);
    std::lock_guard<std::mutex> lock(self.mutex);
    self.done.push_back(header);
    self.count.fetch_add(1);
  }
  std::vector<WaveHeader*> Done() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
  }
};

bool WaitCount(const std::atomic<int>& count, int wanted) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count < wanted) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

WaveFormat Mono(std::uint32_t rate) {
  WaveFormat format;
  format.channels = 1;
  format.samples_per_second = rate;
  format.block_align = 2;
  format.average_bytes_per_second = 2 * rate;
  return format;
}

struct Buffers {
  explicit Buffers(int count, std::uint32_t length)
      : Buffers(std::vector<std::uint32_t>(static_cast<std::size_t>(count), length)) {}
  // Buffers of the given lengths in bytes: Buffers{200, 2}.
  Buffers(std::initializer_list<std::uint32_t> lengths)
      : Buffers(std::vector<std::uint32_t>(lengths)) {}
  explicit Buffers(const std::vector<std::uint32_t>& lengths)
      : storage(lengths.size()), headers(lengths.size()) {
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      storage[i].assign(lengths[i], static_cast<std::uint8_t>(i + 1));
      headers[i].data = storage[i].data();
      headers[i].buffer_length = lengths[i];
    }
  }
  std::vector<std::vector<std::uint8_t>> storage;
  std::vector<WaveHeader> headers;
};

TEST(CaptureDevice, RecordsBuffersInQueueOrderWithVolumeAndRate) {
  auto log = std::make_shared<CaptureLog>();
  CaptureAudioDevice device(log);
  DoneLog done;
  ASSERT_EQ(device.Open(Mono(22050), &DoneLog::Callback, &done), kDeviceOk);
  Buffers buffers(3, 8);
  for (auto& header : buffers.headers) ASSERT_EQ(device.Prepare(header), kDeviceOk);
  ASSERT_EQ(device.Write(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device.SetVolume(0x12345678), kDeviceOk);
  ASSERT_EQ(device.Write(buffers.headers[1]), kDeviceOk);
  ASSERT_EQ(device.SetPlaybackRate(0x00020000), kDeviceOk);
  ASSERT_EQ(device.Write(buffers.headers[2]), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 3));
  const auto done_order = done.Done();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(done_order[static_cast<std::size_t>(i)],
              &buffers.headers[static_cast<std::size_t>(i)]);
  const auto recorded = log->Buffers();
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[0].bytes, std::vector<std::uint8_t>(8, 1));
  EXPECT_EQ(recorded[2].bytes, std::vector<std::uint8_t>(8, 3));
  EXPECT_EQ(recorded[0].volume, kVolumeFull);
  EXPECT_EQ(recorded[1].volume, 0x12345678u);
  EXPECT_EQ(recorded[1].playback_rate, kPlaybackRateNormal);
  EXPECT_EQ(recorded[2].playback_rate, 0x00020000u);
  for (auto& header : buffers.headers) EXPECT_EQ(device.Unprepare(header), kDeviceOk);
  EXPECT_EQ(device.Close(), kDeviceOk);
}

TEST(CaptureDevice, PauseHoldsCompletionsResetGivesEverythingBack) {
  auto log = std::make_shared<CaptureLog>();
  CaptureAudioDevice device(log);
  DoneLog done;
  ASSERT_EQ(device.Open(Mono(8000), &DoneLog::Callback, &done), kDeviceOk);
  Buffers buffers(4, 4);
  ASSERT_EQ(device.Pause(), kDeviceOk);
  for (auto& header : buffers.headers) {
    device.Prepare(header);
    ASSERT_EQ(device.Write(header), kDeviceOk);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(done.count, 0);
  // Buffers still queued cannot be unprepared, nor the device closed.
  EXPECT_EQ(device.Unprepare(buffers.headers[0]), kDeviceStillPlaying);
  EXPECT_EQ(device.Close(), kDeviceStillPlaying);
  ASSERT_EQ(device.Reset(), kDeviceOk);
  ASSERT_EQ(done.count, 4);
  const auto order = done.Done();
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(order[static_cast<std::size_t>(i)], &buffers.headers[static_cast<std::size_t>(i)]);
  EXPECT_EQ(device.Close(), kDeviceOk);
  EXPECT_EQ(device.Write(buffers.headers[0]), kDeviceBadDevice);
  const std::vector<std::string> events = {"open", "pause", "reset", "close"};
  EXPECT_EQ(log->Events(), events);
}

TEST(CaptureDevice, ALogWithoutEventsListsNoneButKeepsTheFormat) {
  // What a benchmark of seeks uses: a pause and a reset each, a million times over.
  auto log = std::make_shared<CaptureLog>(false, nullptr, false);
  CaptureAudioDevice device(log);
  ASSERT_EQ(device.Open(Mono(8000), nullptr, nullptr), kDeviceOk);
  for (int seek = 0; seek < 3; ++seek) {
    ASSERT_EQ(device.Pause(), kDeviceOk);
    ASSERT_EQ(device.Reset(), kDeviceOk);
  }
  ASSERT_EQ(device.Close(), kDeviceOk);
  EXPECT_TRUE(log->Events().empty());
  EXPECT_EQ(log->format().samples_per_second, 8000u);
}

TEST(CaptureDevice, UnpreparedBuffersAndRefusalsAreReported) {
  CaptureOptions options;
  options.refuse_writes_after = 1;
  CaptureAudioDevice device(nullptr, options);
  DoneLog done;
  Buffers buffers(2, 4);
  EXPECT_EQ(device.Write(buffers.headers[0]), kDeviceBadDevice);  // not open
  ASSERT_EQ(device.Open(Mono(8000), &DoneLog::Callback, &done), kDeviceOk);
  EXPECT_EQ(device.Write(buffers.headers[0]), kDeviceUnprepared);
  device.Prepare(buffers.headers[0]);
  device.Prepare(buffers.headers[1]);
  EXPECT_EQ(device.Write(buffers.headers[0]), kDeviceOk);
  EXPECT_NE(device.Write(buffers.headers[1]), kDeviceOk);
  EXPECT_FALSE(device.LastError().empty());
  ASSERT_TRUE(WaitCount(done.count, 1));
  EXPECT_EQ(device.Close(), kDeviceOk);

  CaptureOptions refuse;
  refuse.refuse_open = true;
  CaptureAudioDevice closed(nullptr, refuse);
  EXPECT_NE(closed.Open(Mono(8000), &DoneLog::Callback, &done), kDeviceOk);
  WaveFormat bad = Mono(8000);
  bad.bits_per_sample = 8;
  CaptureAudioDevice picky(nullptr);
  EXPECT_EQ(picky.Open(bad, &DoneLog::Callback, &done), kDeviceBadFormat);
  // It takes the rates a sound card takes, 1 Hz to 384 kHz, as the player's sound device does.
  for (const std::uint32_t rate : {0u, 384001u, 4294967295u})
    EXPECT_EQ(picky.Open(Mono(rate), &DoneLog::Callback, &done), kDeviceBadFormat) << rate;
  EXPECT_EQ(picky.Open(Mono(384000), &DoneLog::Callback, &done), kDeviceOk);
  EXPECT_EQ(picky.Close(), kDeviceOk);
}

TEST(CaptureDevice, NoThreadForCompletionsRefusesToOpen) {
  CaptureOptions options;
  options.no_thread = true;
  CaptureAudioDevice device(nullptr, options);
  DoneLog done;
  EXPECT_EQ(device.Open(Mono(8000), &DoneLog::Callback, &done), kDeviceError);
  EXPECT_EQ(device.LastError(), "no thread for the capture device");
  Buffers buffers(1, 4);
  EXPECT_EQ(device.Prepare(buffers.headers[0]), kDeviceBadDevice);
  EXPECT_EQ(device.Close(), kDeviceBadDevice);
}

TEST(CaptureDevice, SampleClockPacesCompletions) {
  CaptureOptions options;
  options.timing = CaptureTiming::kSampleClock;
  CaptureAudioDevice device(nullptr, options);
  DoneLog done;
  ASSERT_EQ(device.Open(Mono(1000), &DoneLog::Callback, &done), kDeviceOk);
  // Two seconds of sound: nowhere near done a moment later.
  Buffers buffers(1, 4000);
  device.Prepare(buffers.headers[0]);
  ASSERT_EQ(device.Write(buffers.headers[0]), kDeviceOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(done.count, 0);
  ASSERT_EQ(device.Reset(), kDeviceOk);
  EXPECT_EQ(done.count, 1);
  EXPECT_EQ(device.Close(), kDeviceOk);

  // A short buffer completes on its own.
  CaptureAudioDevice quick(nullptr, options);
  DoneLog quick_done;
  ASSERT_EQ(quick.Open(Mono(8000), &DoneLog::Callback, &quick_done), kDeviceOk);
  Buffers short_buffer(1, 16);  // one millisecond
  quick.Prepare(short_buffer.headers[0]);
  ASSERT_EQ(quick.Write(short_buffer.headers[0]), kDeviceOk);
  EXPECT_TRUE(WaitCount(quick_done.count, 1));
  EXPECT_EQ(quick.Close(), kDeviceOk);
}

TEST(GatedDevice, HoldsDoneMessagesUntilOpened) {
  auto gated = GatedAudioDevice(std::make_unique<CaptureAudioDevice>(nullptr));
  DoneLog done;
  ASSERT_EQ(gated.Open(Mono(8000), &DoneLog::Callback, &done), kDeviceOk);
  Buffers buffers(2, 4);
  for (auto& header : buffers.headers) {
    gated.Prepare(header);
    ASSERT_EQ(gated.Write(header), kDeviceOk);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(done.count, 0);
  gated.OpenGate();
  ASSERT_TRUE(WaitCount(done.count, 2));
  EXPECT_EQ(done.Done()[0], &buffers.headers[0]);
  EXPECT_EQ(gated.Close(), kDeviceOk);
}

// Counts every message a device sends its owner.
struct MessageCount {
  std::atomic<int> count{0};
  static void Callback(void* user, std::uint32_t, WaveHeader*) {
    static_cast<MessageCount*>(user)->count.fetch_add(1);
  }
};

// A sound server that takes the connection and never answers kept the player in the open for
// half a minute, and a next movie's open as long again.
TEST(DeadlineDevice, AnOpenThatDoesNotAnswerIsLetGoAndEndedWhenItAnswers) {
  using test::StuckDevice;
  using test::StuckGate;
  auto gate = std::make_shared<StuckGate>();
  MessageCount messages;
  {
    DeadlineAudioDevice stuck(std::make_unique<StuckDevice>(gate, StuckDevice::Stuck::kOpen),
                              std::chrono::milliseconds(0));
    EXPECT_EQ(stuck.Open(Mono(8000), &MessageCount::Callback, &messages), kDeviceNoDriver);
    EXPECT_EQ(stuck.LastError(), kSoundDeviceNoAnswer);
  }  // its owner is gone while the open still waits
  EXPECT_EQ(DeadlineAudioDevice::StillUnanswered(), 1);
  // Another open would wait in the same place: it fails at once, without trying.
  auto other_gate = std::make_shared<StuckGate>();
  other_gate->Release();
  DeadlineAudioDevice other(std::make_unique<StuckDevice>(other_gate, StuckDevice::Stuck::kOpen),
                            std::chrono::hours(1));
  EXPECT_EQ(other.Open(Mono(8000), &MessageCount::Callback, &messages), kDeviceNoDriver);
  EXPECT_EQ(other.LastError(), kSoundDeviceNoAnswer);
  EXPECT_EQ(other_gate->Read(&StuckGate::opens), 0);
  // The open answers at last: the device is closed and freed there, its messages reach nobody.
  gate->Release();
  DeadlineAudioDevice::WaitForLetGo();
  EXPECT_EQ(gate->Read(&StuckGate::closes), 1);
  EXPECT_EQ(gate->Read(&StuckGate::ends), 1);
  EXPECT_EQ(messages.count, 0);
  // The next open tries again.
  EXPECT_EQ(other.Open(Mono(8000), &MessageCount::Callback, &messages), kDeviceOk);
  EXPECT_EQ(other.Close(), kDeviceOk);
  EXPECT_EQ(messages.count, 2);  // its open and its close
}

// The close of a card whose server stopped mid-movie waits for the card's thread, which waits
// on the server: Stop, the next movie and quitting hung for good.
TEST(DeadlineDevice, ACloseThatDoesNotAnswerReturnsAndNothingOfTheDeviceFollows) {
  using test::StuckDevice;
  using test::StuckGate;
  auto gate = std::make_shared<StuckGate>();
  MessageCount messages;
  DeadlineAudioDevice device(std::make_unique<StuckDevice>(gate, StuckDevice::Stuck::kClose),
                             std::chrono::hours(1));
  ASSERT_EQ(device.Open(Mono(8000), &MessageCount::Callback, &messages), kDeviceOk);
  ASSERT_EQ(messages.count, 1);
  device.set_wait(std::chrono::milliseconds(0));
  EXPECT_EQ(device.Close(), kDeviceError);
  EXPECT_EQ(device.LastError(), kSoundDeviceNoAnswer);
  gate->Release();
  DeadlineAudioDevice::WaitForLetGo();
  EXPECT_EQ(gate->Read(&StuckGate::ends), 1);
  EXPECT_EQ(messages.count, 1);  // the close message it sent once it answered went nowhere
}

// A card whose server stopped answering mid-movie, already said to be lost, was waited for
// again at its close: ending the movie held the player 5 s more.
TEST(DeadlineDevice, TheCloseOfACardFoundHungIsNotWaitedFor) {
  using test::StuckDevice;
  using test::StuckGate;
  auto gate = std::make_shared<StuckGate>();
  MessageCount messages;
  DeadlineAudioDevice device(std::make_unique<StuckDevice>(gate, StuckDevice::Stuck::kHungClose),
                             std::chrono::seconds(10));
  ASSERT_EQ(device.Open(Mono(8000), &MessageCount::Callback, &messages), kDeviceOk);
  EXPECT_EQ(device.Close(), kDeviceOk);
  EXPECT_EQ(DeadlineAudioDevice::StillUnanswered(), 1);
  gate->Release();
  DeadlineAudioDevice::WaitForLetGo();
  EXPECT_EQ(gate->Read(&StuckGate::closes), 1);
  EXPECT_EQ(gate->Read(&StuckGate::ends), 1);
  EXPECT_EQ(messages.count, 1);  // its open; the close message went nowhere
}

// Settings made before the device opens hold from its first buffer, which the sample clock
// times at that rate (kqm play --realtime --rate 1 set the rate once playback had begun, and now
// and then the first frame period went by at the movie's own rate, in 40 ms rather than 1 s).
TEST(CaptureDevice, SettingsMadeBeforeOpeningHoldFromTheFirstBuffer) {
  auto log = std::make_shared<CaptureLog>();
  CaptureAudioDevice device(log);
  ASSERT_EQ(device.SetPlaybackRate(0x00008000), kDeviceOk);
  ASSERT_EQ(device.SetVolume(0x12345678), kDeviceOk);
  DoneLog done;
  ASSERT_EQ(device.Open(Mono(22050), &DoneLog::Callback, &done), kDeviceOk);
  Buffers buffers(1, 8);
  ASSERT_EQ(device.Prepare(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device.Write(buffers.headers[0]), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  const auto recorded = log->Buffers();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].playback_rate, 0x00008000u);
  EXPECT_EQ(recorded[0].volume, 0x12345678u);
  EXPECT_EQ(device.Close(), kDeviceOk);
}

// The sound card through SDL2, on its "dummy" driver where no sound card exists: it plays
// silence at the pace of the samples.
class SdlDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("SDL_AUDIODRIVER") == nullptr) setenv("SDL_AUDIODRIVER", "dummy", 1);
  }

  // A device on SDL's disk driver, which writes what a card would be given to the file `name`
  // in the test folder; null (with the reason in why_) where the driver cannot be opened.
  // A volume other than full is set before the device opens.
  std::unique_ptr<AudioDevice> OpenOnDisk(const std::string& name, DoneLog& done,
                                          std::uint32_t volume = kVolumeFull,
                                          std::uint32_t rate = kPlaybackRateNormal) {
    file_ = ::testing::TempDir() + "/" + name;
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file_.c_str(), 1);
    auto device = CreateSdlAudioDevice();
    if (volume != kVolumeFull) {
      EXPECT_EQ(device->SetVolume(volume), kDeviceOk);
    }
    if (rate != kPlaybackRateNormal) {
      EXPECT_EQ(device->SetPlaybackRate(rate), kDeviceOk);
    }
    const int opened = device->Open(Mono(44100), &DoneLog::Callback, &done);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (opened == kDeviceOk) return device;
    why_ = device->LastError();
    return nullptr;
  }

  // The samples the disk driver wrote, whose file is removed.
  std::vector<std::int16_t> Heard() {
    std::vector<std::int16_t> samples;
    if (std::FILE* raw = std::fopen(file_.c_str(), "rb")) {
      std::int16_t sample = 0;
      while (std::fread(&sample, sizeof sample, 1, raw) == 1) samples.push_back(sample);
      std::fclose(raw);
    } else {
      ADD_FAILURE() << "the disk driver wrote no " << file_;
    }
    std::remove(file_.c_str());
    return samples;
  }

  // Resets and closes `device`, then what the disk driver wrote, the silence before it left out.
  std::vector<std::int16_t> CloseAndHear(AudioDevice& device) {
    EXPECT_EQ(device.Reset(), kDeviceOk);
    EXPECT_EQ(device.Close(), kDeviceOk);
    std::vector<std::int16_t> heard = Heard();
    heard.erase(heard.begin(), std::find_if(heard.begin(), heard.end(),
                                            [](std::int16_t sample) { return sample != 0; }));
    return heard;
  }

  // When each done-message came; the device given is paused on the first.
  struct ReportTimes {
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> at;
    std::atomic<int> count{0};
    AudioDevice* pause_first = nullptr;
    std::chrono::steady_clock::time_point paused_at;  // just after pause_first's pause
    static void Callback(void* user, std::uint32_t message, WaveHeader*) {
      if (message != kWaveDoneMessage) return;
      auto& self = *static_cast<ReportTimes*>(user);
      std::lock_guard<std::mutex> lock(self.mutex);
      self.at.push_back(std::chrono::steady_clock::now());
      if (self.count.fetch_add(1) == 0 && self.pause_first != nullptr) {
        self.pause_first->Pause();
        self.paused_at = std::chrono::steady_clock::now();
      }
    }
  };

  // A device on the disk driver taking 1024 samples every millisecond; null as OpenOnDisk.
  std::unique_ptr<AudioDevice> OpenFastCard(ReportTimes& times) {
    setenv("SDL_DISKAUDIODELAY", "1", 1);
    file_ = ::testing::TempDir() + "/tarvel-sdl-takes.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file_.c_str(), 1);
    auto device = CreateSdlAudioDevice();
    const int opened = device->Open(Mono(44100), &ReportTimes::Callback, &times);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    unsetenv("SDL_DISKAUDIODELAY");
    if (opened == kDeviceOk) return device;
    why_ = device->LastError();
    return nullptr;
  }

  // Queues `buffers` on the paused card, so that they go into its next take together, and
  // plays on; `played` receives the time just before it does.
  static void PlayInOneTake(AudioDevice& device, Buffers& buffers,
                            std::chrono::steady_clock::time_point* played) {
    ASSERT_EQ(device.Pause(), kDeviceOk);
    for (auto& header : buffers.headers) {
      ASSERT_EQ(device.Prepare(header), kDeviceOk);
      ASSERT_EQ(device.Write(header), kDeviceOk);
    }
    *played = std::chrono::steady_clock::now();
    ASSERT_EQ(device.Restart(), kDeviceOk);
  }

  std::string file_;
  std::string why_;
};

TEST_F(SdlDevice, PlaysBuffersInOrderAndResets) {
  auto device = CreateSdlAudioDevice();
  DoneLog done;
  const int opened = device->Open(Mono(44100), &DoneLog::Callback, &done);
  if (opened != kDeviceOk) GTEST_SKIP() << "no SDL audio driver: " << device->LastError();
  Buffers buffers(3, 882);  // 10 ms each
  for (auto& header : buffers.headers) {
    ASSERT_EQ(device->Prepare(header), kDeviceOk);
    ASSERT_EQ(device->Write(header), kDeviceOk);
  }
  EXPECT_EQ(device->SetVolume(0x80008000), kDeviceOk);
  EXPECT_EQ(device->SetPlaybackRate(0x00018000), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 3));
  const auto order = done.Done();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(order[static_cast<std::size_t>(i)], &buffers.headers[static_cast<std::size_t>(i)]);

  // Paused, nothing finishes; a reset gives the queued buffers back at once.
  ASSERT_EQ(device->Pause(), kDeviceOk);
  Buffers more(2, 882);
  for (auto& header : more.headers) {
    device->Prepare(header);
    ASSERT_EQ(device->Write(header), kDeviceOk);
  }
  EXPECT_EQ(device->Close(), kDeviceStillPlaying);
  ASSERT_EQ(device->Reset(), kDeviceOk);
  EXPECT_EQ(done.count, 5);
  for (auto& header : buffers.headers) EXPECT_EQ(device->Unprepare(header), kDeviceOk);
  for (auto& header : more.headers) EXPECT_EQ(device->Unprepare(header), kDeviceOk);
  EXPECT_EQ(device->Close(), kDeviceOk);
}

// SDL's own state of its devices, looked at past the wrapper: 1 playing, 2 paused, 0 for an id
// that is not open. Device ids count up from 2 in a process.
extern "C" int SDL_GetAudioDeviceStatus(std::uint32_t device);
std::vector<int> SdlDeviceStates() {
  std::vector<int> states;
  for (std::uint32_t id = 2; id < 64; ++id)
    if (const int state = SDL_GetAudioDeviceStatus(id); state != 0) states.push_back(state);
  return states;
}

// A paused card had SDL call back 43 times a second for the silence it was given, and its
// watcher look 4 times a second for takes, however long the movie stayed paused.
TEST_F(SdlDevice, APausedCardHasSdlPauseToo) {
  auto device = CreateSdlAudioDevice();
  DoneLog done;
  const int opened = device->Open(Mono(44100), &DoneLog::Callback, &done);
  if (opened != kDeviceOk) GTEST_SKIP() << "no SDL audio driver: " << device->LastError();
  EXPECT_EQ(SdlDeviceStates(), std::vector<int>{1});
  ASSERT_EQ(device->Pause(), kDeviceOk);
  EXPECT_EQ(SdlDeviceStates(), std::vector<int>{2});
  ASSERT_EQ(device->Restart(), kDeviceOk);
  EXPECT_EQ(SdlDeviceStates(), std::vector<int>{1});
  // Paused by the card itself at the end of the buffer it plays, as a frame step pauses.
  Buffers buffers(1, 882);
  ASSERT_EQ(device->Prepare(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device->Write(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device->PauseAfterCurrent(), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  EXPECT_EQ(SdlDeviceStates(), std::vector<int>{2});
  EXPECT_EQ(device->Close(), kDeviceOk);
}

TEST_F(SdlDevice, PauseAfterCurrentLetsNothingOfTheNextBufferOut) {
  DoneLog done;
  auto device = OpenOnDisk("tarvel-sdl-disk.raw", done);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  // 1500 samples of 0x0101, then 1500 of 0x0202: the card takes 1024 at a time, so the second
  // buffer would start in the same take as the first one ends.
  Buffers buffers(2, 3000);
  for (auto& header : buffers.headers) {
    ASSERT_EQ(device->Prepare(header), kDeviceOk);
    ASSERT_EQ(device->Write(header), kDeviceOk);
  }
  ASSERT_EQ(device->PauseAfterCurrent(), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  ASSERT_EQ(device->Reset(), kDeviceOk);
  ASSERT_EQ(device->Close(), kDeviceOk);  // the card's last take is written by then
  int first = 0;
  int second = 0;
  for (const std::int16_t sample : Heard()) {
    first += sample == 0x0101;
    second += sample == 0x0202;
  }
  EXPECT_EQ(first, 1500);
  EXPECT_EQ(second, 0);
}

// A volume set before the card opens holds from its first take (kqm play --volume 0 set it once
// playback had begun, and the card's first take went out at full volume now and then).
TEST_F(SdlDevice, AVolumeSetBeforeOpeningHoldsFromTheFirstSample) {
  DoneLog done;
  auto device = OpenOnDisk("tarvel-sdl-volume.raw", done, 0);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  Buffers buffers(1, 3000);
  ASSERT_EQ(device->Prepare(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device->Write(buffers.headers[0]), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  EXPECT_TRUE(CloseAndHear(*device).empty());
}

// So does a playback rate (kqm play --rate 0.5 could let the card play its first take at the
// movie's own rate rather than a 50th of it: more than half a frame period's sound in 23 ms).
TEST_F(SdlDevice, ARateSetBeforeOpeningHoldsFromTheFirstSample) {
  DoneLog done;
  auto device = OpenOnDisk("tarvel-sdl-rate-first.raw", done, kVolumeFull, 0x00020000);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  Buffers buffers(1, 3000);  // 1500 samples of 0x0101: 750 at twice the rate
  ASSERT_EQ(device->Prepare(buffers.headers[0]), kDeviceOk);
  ASSERT_EQ(device->Write(buffers.headers[0]), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  const std::vector<std::int16_t> heard = CloseAndHear(*device);
  EXPECT_EQ(std::count(heard.begin(), heard.end(), 0x0101), 750);
}

TEST_F(SdlDevice, ARateChangeInterpolatesBetweenLoudSamplesOfOppositeSign) {
  DoneLog done;
  auto device = OpenOnDisk("tarvel-sdl-rate.raw", done);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  // -32000, 32000, -32000... played 1.75 times as fast: every 1.75 samples, a quarter, half or
  // three quarters of the way from one to the next, a triangle of period 8. A step of 64000 times
  // three quarters (0xC000) is past what 32 bits hold.
  std::vector<std::uint8_t> samples(1600);  // little-endian: 32000 is 0x7D00, -32000 0x8300
  for (std::size_t i = 0; i < samples.size(); i += 2) samples[i + 1] = i % 4 ? 0x7D : 0x83;
  WaveHeader header;
  header.data = samples.data();
  header.buffer_length = static_cast<std::uint32_t>(samples.size());
  ASSERT_EQ(device->SetPlaybackRate(0x0001C000), kDeviceOk);
  ASSERT_EQ(device->Prepare(header), kDeviceOk);
  ASSERT_EQ(device->Write(header), kDeviceOk);
  ASSERT_TRUE(WaitCount(done.count, 1));
  const std::vector<std::int16_t> heard = CloseAndHear(*device);
  const std::int16_t triangle[8] = {-32000, -16000, 0, 16000, 32000, 16000, 0, -16000};
  ASSERT_GE(heard.size(), 400u);
  for (std::size_t k = 0; k < 400; ++k) ASSERT_EQ(heard[k], triangle[k % 8]) << "sample " << k;
}

TEST_F(SdlDevice, ASlowerRateInterpolatesAcrossTheEdgesOfTheBuffers) {
  // A ramp of 100, 200 ... 3000 in three buffers of 10 samples, played at half speed: every
  // other sample lies half way between two of the ramp, 50 apart, also where one buffer's last
  // sample meets the next one's first (the last one was held there: a step at every frame
  // period of a movie played slower).
  DoneLog done;
  auto device = OpenOnDisk("tarvel-sdl-edges.raw", done);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  Buffers buffers(3, 20);
  for (std::size_t b = 0; b < 3; ++b) {
    for (std::size_t i = 0; i < 10; ++i) {
      const auto value = static_cast<std::uint16_t>(100 * (10 * b + i + 1));
      buffers.storage[b][2 * i] = static_cast<std::uint8_t>(value & 0xFF);  // little-endian
      buffers.storage[b][2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
  }
  ASSERT_EQ(device->SetPlaybackRate(0x00008000), kDeviceOk);
  std::chrono::steady_clock::time_point played;
  ASSERT_NO_FATAL_FAILURE(PlayInOneTake(*device, buffers, &played));
  ASSERT_TRUE(WaitCount(done.count, 3));
  const std::vector<std::int16_t> heard = CloseAndHear(*device);
  // The last sample of the last buffer has nothing after it yet: it is not looked at.
  ASSERT_GE(heard.size(), 59u);
  for (std::size_t k = 0; k < 59; ++k) EXPECT_EQ(heard[k], 100 + 50 * static_cast<int>(k)) << k;
}

TEST_F(SdlDevice, BuffersEndingInOneTakeAreReportedWhenTheyPlay) {
  // A card taking 1024 samples every millisecond: three buffers of 300 samples go in one take,
  // the third ending 900 samples (20.4 ms at 44100 Hz) into it. Reported as the take was made,
  // the movie's pictures would come in bursts.
  ReportTimes times;
  auto device = OpenFastCard(times);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  Buffers buffers(3, 600);
  std::chrono::steady_clock::time_point restarted;
  ASSERT_NO_FATAL_FAILURE(PlayInOneTake(*device, buffers, &restarted));
  ASSERT_TRUE(WaitCount(times.count, 3));
  ASSERT_EQ(device->Close(), kDeviceOk);
  std::remove(file_.c_str());
  EXPECT_GE(times.at[2] - restarted, std::chrono::microseconds(900 * 1000000LL / 44100));
}

TEST_F(SdlDevice, APauseHoldsBackWhatTheCardTookBefore) {
  // Paused as the first of two buffers taken together is reported (a frame step pausing on its
  // frame), the card plays no more: the second, ending a sample later, waits for the restart,
  // or a step would show its frame and the next one too.
  ReportTimes times;
  auto device = OpenFastCard(times);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  times.pause_first = device.get();
  Buffers buffers{200, 2};
  std::chrono::steady_clock::time_point played;
  ASSERT_NO_FATAL_FAILURE(PlayInOneTake(*device, buffers, &played));
  ASSERT_TRUE(WaitCount(times.count, 1));
  const auto restarted = std::chrono::steady_clock::now();
  ASSERT_EQ(device->Restart(), kDeviceOk);
  ASSERT_TRUE(WaitCount(times.count, 2));
  ASSERT_EQ(device->Close(), kDeviceOk);
  std::remove(file_.c_str());
  EXPECT_GE((times.at[1] - restarted).count(), 0) << "reported before the restart";
}

TEST_F(SdlDevice, HeldBuffersComeAsTheSoundLeftWhenPausedPlaysOn) {
  // Paused as the first of three buffers taken together is reported, and played on once the
  // other two were due: they come as the sound the card had left plays, not both at once, or a
  // step pausing on the second would show the third. The third ends 1001 samples (22.7 ms at
  // 44100 Hz) into a take that began after `played`; what was left of it at the pause plays
  // after the restart (a report that came late leaves less, never more: no luck involved).
  ReportTimes times;
  auto device = OpenFastCard(times);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  times.pause_first = device.get();
  Buffers buffers{2, 1000, 1000};
  std::chrono::steady_clock::time_point played;
  ASSERT_NO_FATAL_FAILURE(PlayInOneTake(*device, buffers, &played));
  ASSERT_TRUE(WaitCount(times.count, 1));
  std::chrono::steady_clock::time_point first;
  {
    std::lock_guard<std::mutex> lock(times.mutex);
    first = times.at[0];
  }
  std::this_thread::sleep_until(first + std::chrono::milliseconds(30));
  const auto restarted = std::chrono::steady_clock::now();
  ASSERT_EQ(device->Restart(), kDeviceOk);
  ASSERT_TRUE(WaitCount(times.count, 3));
  ASSERT_EQ(device->Close(), kDeviceOk);
  std::remove(file_.c_str());
  EXPECT_GE(times.at[2] - restarted,
            played + std::chrono::microseconds(1001 * 1000000LL / 44100) - times.paused_at);
}

TEST_F(SdlDevice, ABufferEndingATakeIsDoneWithThatTake) {
  // The second buffer ends the take exactly (1 + 1023 samples). Paused as the first is
  // reported, the card has nothing left to play and closes; if the second were only found used
  // up at the next take, after the restart, it would come at that take's start, along with
  // what was held back before it (a frame step would show two frames).
  ReportTimes times;
  auto device = OpenFastCard(times);
  if (!device) GTEST_SKIP() << "no SDL disk driver: " << why_;
  times.pause_first = device.get();
  Buffers buffers{2, 2046};
  std::chrono::steady_clock::time_point played;
  ASSERT_NO_FATAL_FAILURE(PlayInOneTake(*device, buffers, &played));
  ASSERT_TRUE(WaitCount(times.count, 1));
  EXPECT_EQ(device->Close(), kDeviceOk);
  EXPECT_EQ(times.count, 2);
  std::remove(file_.c_str());
}

// A card is taken for stopped after 5 s without a take only when its watcher ran all along:
// `kqm play` stopped by Ctrl+Z for 6 s (or a debugger) came back now and then saying "the sound
// device stopped playing" and finished the movie silent.
TEST(CardWatch, ACardIsStoppedOnlyAfterSilenceItsWatcherSaw) {
  using std::chrono::milliseconds;
  const CardWatch::Clock::time_point t0{};
  const auto at = [&](int ms) { return t0 + milliseconds(ms); };
  CardWatch watch(milliseconds(5000));
  watch.Start(at(0));
  for (int ms = 250; ms < 5000; ms += 250) ASSERT_FALSE(watch.Stopped(at(ms))) << ms;
  EXPECT_TRUE(watch.Stopped(at(5000)));

  watch.Start(at(0));
  EXPECT_FALSE(watch.Stopped(at(250)));
  EXPECT_FALSE(watch.Stopped(at(7000)));  // the program did not run from 250 to 7000
  watch.Took(at(7010));
  for (int ms = 7250; ms <= 12000; ms += 250) ASSERT_FALSE(watch.Stopped(at(ms))) << ms;
  EXPECT_TRUE(watch.Stopped(at(12010)));  // 5 s after its last take, watched throughout
}

TEST(SdlTake, LastsAbout20MillisecondsAtEveryRate) {
  // A take handed to the sound server is heard whatever follows: 1024 samples at 8000 Hz let
  // 128 ms more sound out after a pause and played the start of the next frames with each step.
  EXPECT_EQ(SdlTakeSamples(8000), 256);    // 20 ms is 160 samples
  EXPECT_EQ(SdlTakeSamples(11025), 256);   // 220.5
  EXPECT_EQ(SdlTakeSamples(22050), 512);   // 441
  EXPECT_EQ(SdlTakeSamples(44100), 1024);  // 882
  EXPECT_EQ(SdlTakeSamples(96000), 1024);  // never more than 1024
}

TEST(SdlTake, ATakeOfACardThatStoppedFollowsTheOneBeforeThoughItsThreadWokeLate) {
  // The device plays the takes of a card that stopped itself; each began when its thread woke,
  // a little after the take before had ended, and the pictures ran 1.5 % slow.
  using std::chrono::milliseconds;
  const std::chrono::steady_clock::time_point end{std::chrono::seconds(10)};
  const milliseconds take{23};
  EXPECT_EQ(SdlTakeStart(end, end + milliseconds(1), take, /*own_take=*/true), end);
  // More than a take late, the player did not run: the take starts now.
  EXPECT_EQ(SdlTakeStart(end, end + milliseconds(30), take, true), end + milliseconds(30));
  // The card itself asking late has run dry: its take starts now.
  EXPECT_EQ(SdlTakeStart(end, end + milliseconds(1), take, false), end + milliseconds(1));
  // Asked early, a take starts when the one before ends, never more than a take from now.
  EXPECT_EQ(SdlTakeStart(end, end - milliseconds(5), take, false), end);
  EXPECT_EQ(SdlTakeStart(end + milliseconds(50), end, take, true), end + take);
}

// A card whose sound server stopped answering mid-movie took no more sound: its buffers never
// came back, and the pictures stood still for good without a word.
TEST_F(SdlDevice, ACardThatTakesNoMoreSoundIsLostAndItsBuffersComeBack) {
  SdlDeviceOptions stuck;
  stuck.stall_wait = std::chrono::milliseconds(0);
  stuck.hold_card = true;
  auto device = CreateSdlAudioDevice(stuck);
  DoneLog done;
  const int opened = device->Open(Mono(44100), &DoneLog::Callback, &done);
  if (opened != kDeviceOk) GTEST_SKIP() << "no SDL audio driver: " << device->LastError();
  Buffers buffers(3, 882);
  for (auto& header : buffers.headers) {
    ASSERT_EQ(device->Prepare(header), kDeviceOk);
    ASSERT_EQ(device->Write(header), kDeviceOk);
  }
  ASSERT_TRUE(WaitCount(done.count, 3));
  EXPECT_EQ(done.Done()[2], &buffers.headers[2]);
  EXPECT_TRUE(device->Lost());
  EXPECT_EQ(device->Close(), kDeviceOk);
  DeadlineAudioDevice::WaitForLetGo();  // closed on a thread of its own
}

TEST_F(SdlDevice, MissingDriverFailsWithAMessage) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  auto device = CreateSdlAudioDevice();
  DoneLog done;
  EXPECT_NE(device->Open(Mono(44100), &DoneLog::Callback, &done), kDeviceOk);
  EXPECT_NE(device->LastError().find("no sound device"), std::string::npos) << device->LastError();
  setenv("SDL_AUDIODRIVER", "dummy", 1);
}

}  // namespace
}  // namespace tarvel
