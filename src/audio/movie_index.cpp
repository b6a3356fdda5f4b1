#include "audio/movie_index.h"

#include <chrono>
#include <new>
#include <thread>

namespace tarvel {

namespace {

// How often a wait for the index asks whether to give up.
constexpr std::chrono::milliseconds kGiveUpPoll{2};

// Copies the state that carries between calls; the two records name it alike.
template <typename To, typename From>
void CopyCarriedState(To& to, const From& from) {
  using Index = decltype(to.left_index);
  to.left_predictor = from.left_predictor;
  to.right_predictor = from.right_predictor;
  to.left_step = from.left_step;
  to.right_step = from.right_step;
  to.remaining_frames = from.remaining_frames;
  to.left_index = static_cast<Index>(from.left_index);
  to.right_index = static_cast<Index>(from.right_index);
  to.nibble_phase = static_cast<decltype(to.nibble_phase)>(from.nibble_phase);
  to.held_byte = from.held_byte;
}

}  // namespace

AdpcmSnapshot Adpcm_TakeSnapshot(const StreamDatas& stream) {
  AdpcmSnapshot snapshot;
  CopyCarriedState(snapshot, stream);
  return snapshot;
}

void Adpcm_RestoreSnapshot(const AdpcmSnapshot& snapshot, StreamDatas* stream) {
  CopyCarriedState(*stream, snapshot);
}

bool MovieIndex::Reset(std::int32_t frame_count) {
  count_.store(0, std::memory_order_release);
  end_.store(IndexEnd::kIndexing, std::memory_order_release);
  entries_.clear();
  try {
    entries_.resize(static_cast<std::size_t>(frame_count > 0 ? frame_count : 0));
  } catch (const std::bad_alloc&) {
    entries_.clear();
    Finish(IndexEnd::kOutOfMemory);
    return false;
  }
  Changed();
  return true;
}

bool MovieIndex::WaitFor(std::int32_t index, bool (*give_up)(void*), void* user) const {
  for (;;) {
    const std::uint32_t seen = changes_.load(std::memory_order_acquire);
    if (index < frames()) return true;
    if (finished()) return index < frames();
    if (give_up == nullptr) {
      changes_.wait(seen, std::memory_order_acquire);
      continue;
    }
    if (give_up(user)) return false;
    // An atomic wait cannot time out, and a read the builder is stuck in may never end: polls.
    while (changes_.load(std::memory_order_acquire) == seen && !give_up(user))
      std::this_thread::sleep_for(kGiveUpPoll);
  }
}

std::int32_t MovieIndex::KeyFrameAtOrBefore(std::int32_t index) const {
  for (std::int32_t i = index; i >= 0; --i)
    if (entries_[static_cast<std::size_t>(i)].frame.key()) return i;
  return -1;
}

void MovieIndex::Add(const IndexedFrame& entry) {
  const std::int32_t count = count_.load(std::memory_order_relaxed);
  if (static_cast<std::size_t>(count) >= entries_.size()) return;
  entries_[static_cast<std::size_t>(count)] = entry;
  count_.store(count + 1, std::memory_order_release);
  Changed();
}

void MovieIndex::Finish(IndexEnd end) {
  end_.store(end, std::memory_order_release);
  Changed();
}

void MovieIndex::Changed() {
  changes_.fetch_add(1, std::memory_order_acq_rel);
  changes_.notify_all();
}

MovieIndexer::MovieIndexer(MovieIndex& index, std::int32_t frame_count, bool sound,
                           MissingPicture missing)
    : index_(index), frame_count_(frame_count), sound_(sound), missing_(missing) {}

bool MovieIndexer::Add(LoadedFrame frame, std::int64_t offset, std::uint32_t size) {
  IndexedFrame entry;
  entry.frame = Frame_Describe(frame, offset, size);
  if (!entry.frame.has_picture && missing_ == MissingPicture::kEndsIndex) {
    index_.Finish(IndexEnd::kNoPicture);
    return false;
  }
  // Frame 0's audio chunk sets the stream up, as the start of playback does; a stream that
  // cannot be set up plays no sound, and its state does not matter.
  if (next_ == 0 && sound_) {
    std::int32_t length = 0;
    const std::uint8_t* payload = Sound_FindAudioChunk(frame, &length);
    Adpcm_Init(kAdpcmLibraryVersion);
    stream_ready_ = payload != nullptr && Sound_SetupStream(stream_, payload, length) == kAdpcmOk &&
                    stream_.audio_frame_bytes > 0;
  }
  if (stream_ready_) {
    entry.sound_state = Adpcm_TakeSnapshot(stream_.adpcm_stream);
    // Frame 0 decodes the 32 periods its chunk holds; every later frame one period.
    const std::size_t bytes = static_cast<std::size_t>(stream_.audio_frame_bytes) *
                              (next_ == 0 ? static_cast<std::size_t>(kLeadPeriods) : 1);
    try {
      scratch_.resize(bytes);
    } catch (const std::bad_alloc&) {
      index_.Finish(IndexEnd::kOutOfMemory);
      return false;
    }
    std::int32_t loop_mode = 0;
    if (Sound_DecodeFramePeriod(stream_, next_, frame_count_, loop_mode, frame, scratch_.data(),
                                static_cast<std::int32_t>(bytes)) != kSoundOk) {
      index_.Finish(IndexEnd::kSoundFailed);
      return false;
    }
  }
  index_.Add(entry);
  ++next_;
  if (next_ >= frame_count_) index_.Finish(IndexEnd::kComplete);
  return true;
}

std::string IndexEndProblem(IndexEnd end, std::int32_t frames, std::int32_t frame_count) {
  const std::string frame = "frame " + std::to_string(frames) + ": ";
  switch (end) {
    case IndexEnd::kIndexing:
    case IndexEnd::kComplete:
      return "";
    case IndexEnd::kEndOfData:
      return FrameReadProblem(FrameRead::kEnd, frames, frame_count);
    case IndexEnd::kTruncated:
      return FrameReadProblem(FrameRead::kTruncated, frames, frame_count);
    case IndexEnd::kReadError:
      return FrameReadProblem(FrameRead::kReadError, frames, frame_count);
    case IndexEnd::kBadSize:
      return FrameReadProblem(FrameRead::kBadSize, frames, frame_count);
    case IndexEnd::kNoPicture:
      return frame + "no picture chunk";
    case IndexEnd::kSoundFailed:
      return frame + "the sound cannot be decoded";
    case IndexEnd::kCancelled:
      return "the frames were not all read";
    case IndexEnd::kOutOfMemory:
      return "out of memory";
    case IndexEnd::kNoThread:
      return "a thread could not be created";
  }
  return "";
}

IndexEnd MovieIndex_Build(MovieIndex& index, MovieReader& reader, const std::atomic<bool>* cancel,
                          MissingPicture missing) {
  const std::int32_t frame_count = reader.header.frame_count;
  if (!index.Reset(frame_count)) return index.end();
  if (frame_count == 0) {
    index.Finish(IndexEnd::kComplete);
    return index.end();
  }
  MovieIndexer indexer(index, frame_count, reader.header.sound, missing);
  std::vector<std::uint8_t> chunks;
  while (!index.finished()) {
    if (cancel != nullptr && cancel->load()) {
      index.Finish(IndexEnd::kCancelled);
      break;
    }
    const std::int64_t offset = reader.position;
    FrameRead read = FrameRead::kOk;
    try {
      read = MovieReader_Next(reader, chunks);
    } catch (const std::bad_alloc&) {
      index.Finish(IndexEnd::kOutOfMemory);
      break;
    }
    if (read == FrameRead::kEnd) {
      index.Finish(IndexEnd::kEndOfData);
    } else if (read == FrameRead::kTruncated) {
      index.Finish(IndexEnd::kTruncated);
    } else if (read == FrameRead::kReadError) {
      index.Finish(IndexEnd::kReadError);
    } else if (read == FrameRead::kBadSize) {
      index.Finish(IndexEnd::kBadSize);
    } else {
      indexer.Add(LoadedFrame{chunks.data(), static_cast<std::uint32_t>(chunks.size())}, offset,
                  reader.last_frame_size);
    }
  }
  return index.end();
}

}  // namespace tarvel
