// An index of a movie's frames for seeking: where every frame is, which are key frames, where
// its sound chunk lies, and the sound decoder's state at the start of each frame's sound, so
// that sound can be decoded from any frame on without decoding it from the start.
//
// One thread builds the index (MovieIndexer, or MovieIndex_Build over a MovieReader) while any
// number of others read the frames indexed so far; readers may wait for a frame to be indexed.
// Memory: sizeof(IndexedFrame) (56 bytes) per frame of the header's frame count.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "audio/sound_period.h"
#include "container/frame_info.h"
#include "container/movie_reader.h"

namespace tarvel {

// The decoding state of an ADQ stream between two calls, without its data cursor: what carries
// from one frame's codes to the next. The fields are StreamDatas' own.
struct AdpcmSnapshot {
  std::int32_t left_predictor = 0, right_predictor = 0;
  std::int32_t left_step = 0, right_step = 0;
  std::uint32_t remaining_frames = 0;
  std::uint8_t left_index = 0, right_index = 0, nibble_phase = 0, held_byte = 0;
};

AdpcmSnapshot Adpcm_TakeSnapshot(const StreamDatas& stream);
// Puts the state back into a stream set up from the same movie's header (its format, frequency
// and length stay; the data cursor is left for the caller to point at the codes).
void Adpcm_RestoreSnapshot(const AdpcmSnapshot& snapshot, StreamDatas* stream);

struct IndexedFrame {
  FrameInfo frame;
  // The sound decoder's state just before this frame's sound is decoded, in a playback from
  // frame 0 that does not loop (frame 0: the state its stream header sets). The same state a
  // looping playback has in its first pass up to 31 frames before the end, which is as far as
  // a seek ever needs it.
  AdpcmSnapshot sound_state;
};

// Why the index stops where it does.
enum class IndexEnd : std::uint8_t {
  kIndexing,     // not finished yet
  kComplete,     // every frame the header counts
  kEndOfData,    // the data ends at a frame boundary, or with a frame word of size 0
  kTruncated,    // the file ends inside a frame (or its word)
  kReadError,    // the file system failed to deliver a frame (or its word)
  kBadSize,      // a frame word's size is smaller than the word
  kNoPicture,    // a frame has no picture chunk: playback stops there
  kSoundFailed,  // a frame's sound cannot be decoded: playback with sound stops there
  kCancelled,    // the builder was asked to stop
  kOutOfMemory,
  kNoThread,  // no thread could be created to build it
};

class MovieIndex {
 public:
  MovieIndex() = default;
  MovieIndex(const MovieIndex&) = delete;
  MovieIndex& operator=(const MovieIndex&) = delete;

  // Empties the index and makes room for `frame_count` frames. Not while others use it. False
  // without memory (the index is then finished with kOutOfMemory).
  bool Reset(std::int32_t frame_count);

  // Frames indexed so far; frames 0 to frames() - 1 may be read from any thread.
  std::int32_t frames() const { return count_.load(std::memory_order_acquire); }
  bool finished() const { return end() != IndexEnd::kIndexing; }
  IndexEnd end() const { return end_.load(std::memory_order_acquire); }
  const IndexedFrame& operator[](std::int32_t index) const {
    return entries_[static_cast<std::size_t>(index)];
  }
  // Waits until frame `index` is indexed or the index has finished; true when it is indexed.
  // `give_up`, when given, is asked on the waiting thread every few milliseconds while the index
  // is behind (a slow disk may hold one read for seconds): false once it says true.
  bool WaitFor(std::int32_t index, bool (*give_up)(void*) = nullptr, void* user = nullptr) const;
  // Wakes the waits, for `give_up` to be asked again at once.
  void Wake() { Changed(); }
  // The last key frame at or before `index` (which must be indexed); -1 when there is none.
  std::int32_t KeyFrameAtOrBefore(std::int32_t index) const;

  // The builder's side (one thread): adds the next frame, and finishes.
  void Add(const IndexedFrame& entry);
  void Finish(IndexEnd end);

 private:
  void Changed();

  std::vector<IndexedFrame> entries_;
  std::atomic<std::int32_t> count_{0};
  std::atomic<IndexEnd> end_{IndexEnd::kIndexing};
  // Bumped by every change, for WaitFor.
  std::atomic<std::uint32_t> changes_{0};
};

// What a frame without a picture chunk does to an index: the player's frame step stops there,
// so its index ends; a player that shows the previous picture instead plays on, and so does its
// index.
enum class MissingPicture : std::uint8_t { kEndsIndex, kIndexed };

// Builds an index from the frames fed to it in file order, from frame 0. The sound state is
// carried through every frame exactly as a playback's frame steps carry it.
class MovieIndexer {
 public:
  // `frame_count`: the header's; `sound`: the header's sound flag. The index must be Reset.
  MovieIndexer(MovieIndex& index, std::int32_t frame_count, bool sound,
               MissingPicture missing = MissingPicture::kEndsIndex);

  // Adds the next frame: its chunk list, the offset of its word and its size. False when the
  // frame ends the index (no picture, unless `missing` lets it in; sound that cannot be
  // decoded); the index is then finished.
  bool Add(LoadedFrame frame, std::int64_t offset, std::uint32_t size);
  // Frames added so far.
  std::int32_t frames() const { return next_; }

 private:
  MovieIndex& index_;
  std::int32_t frame_count_;
  bool sound_;
  MissingPicture missing_;
  SoundStream stream_;
  bool stream_ready_ = false;
  std::vector<std::uint8_t> scratch_;
  std::int32_t next_ = 0;
};

// Why an index that ended with `end` after `frames` of the header's `frame_count` frames holds
// no more, as one line for the user; empty while it is being built or when it is complete.
std::string IndexEndProblem(IndexEnd end, std::int32_t frames, std::int32_t frame_count);

// Reads `reader`'s frames from its current position (just past the header) and indexes them,
// up to the header's frame count or the first frame that ends playback. Stops early, finishing
// with kCancelled, once `*cancel` is set. Returns how the index ended.
IndexEnd MovieIndex_Build(MovieIndex& index, MovieReader& reader,
                          const std::atomic<bool>* cancel = nullptr,
                          MissingPicture missing = MissingPicture::kEndsIndex);

}  // namespace tarvel
