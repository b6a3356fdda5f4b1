// Seeking: the frame index, built in the background from the open movie, and seeks. A seek
// holds the engine's threads down (they end, and are joined), decodes the target frame's
// picture from the nearest key frame before it, decodes the 32 frame periods of sound that
// continuous playback has queued when it presents that frame, and starts the threads again
// from the next frame.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "container/movie_reader.h"
#include "engine/player_context.h"
#include "video/key_frame.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

// Whether the movie's name still stands for the file open under it: another file renamed over
// it (a new download put in its place) has frames of its own.
bool NameStillNamesMovie(const PlayerContext& context) {
  FileIdentity named;
  return !context.movie_identified ||
         (IdentifyFile(context.movie_name, &named) && named == context.movie_identity);
}

// The movie's file as it stands now (see MovieFileStamp).
MovieFileStamp StampOf(const PlayerContext& context) {
  MovieFileStamp stamp;
  if (context.source.source_kind != kSourcePlainFile) {
    stamp.known = true;
    return stamp;
  }
  std::error_code size_error, time_error;
  stamp.size = std::filesystem::file_size(context.movie_name, size_error);
  stamp.modified =
      std::filesystem::last_write_time(context.movie_name, time_error).time_since_epoch().count();
  stamp.known = !size_error && !time_error && IdentifyFile(context.movie_name, &stamp.identity);
  return stamp;
}

std::uint32_t Index_Thread(PlayerContext& context) {
  const std::atomic<bool>* held = context.services.index_held;
  while (held != nullptr && *held && !context.index_cancel)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  context.index_file_length = -1;
  MovieReader reader;
  std::string error;
  bool opened = false;
  if (context.source.source_kind == kSourceStorage)
    opened = context.source.storage != nullptr &&
             MovieReader_OpenStorage(reader, *context.source.storage, context.movie_name, &error);
  else if (context.source.source_kind == kSourceMemory)
    opened = MovieReader_OpenMemory(reader, context.source.memory_block, context.source.memory_size,
                                    &error);
  else
    opened = MovieReader_Open(reader, context.movie_name, &error);
  if (!opened) {
    context.index_open_problem = error.empty() ? "cannot be opened" : error;
    context.movie_index.Finish(IndexEnd::kReadError);
    return 0;
  }
  if (MovieIndex_Build(context.movie_index, reader, &context.index_cancel) == IndexEnd::kReadError)
    context.index_failed_on = StampOf(context);
  context.index_file_length = reader.file_length;
  MovieReader_Close(reader);
  return 0;
}

// How a frame the index knows was read again.
enum class IndexedRead { kRead, kFailed, kChanged, kOutOfMemory };

// Reads frame `index` (known to the index) from the movie source into `data`. A frame word
// there that no longer gives the size indexed is a file rewritten since (another movie copied
// over it): what lies there now is not the frame.
IndexedRead ReadIndexedFrame(PlayerContext& context, std::int32_t index,
                             std::vector<std::uint8_t>& data) {
  const FrameInfo& info = context.movie_index[index].frame;
  const std::size_t length = info.size - kFrameWordSize;
  try {
    data.resize(length + 1);  // never empty, for a frame without chunks
  } catch (const std::bad_alloc&) {
    return IndexedRead::kOutOfMemory;
  }
  std::uint8_t word[kFrameWordSize];
  if (!Source_Seek(context.source, info.offset) || !Source_Read(context.source, word, sizeof word))
    return IndexedRead::kFailed;
  if ((ReadLe32(word) & kFrameSizeMask) != info.size) return IndexedRead::kChanged;
  return length == 0 || Source_Read(context.source, data.data(), length) ? IndexedRead::kRead
                                                                         : IndexedRead::kFailed;
}

// Decodes key frame `index` into `output`; false when its picture depends on what the output
// held before (found out once per key frame), so that decoding cannot start there.
bool DecodeKeyFrame(PlayerContext& context, std::int32_t index, LoadedFrame frame,
                    std::uint16_t* output, int* decoded) {
  std::int32_t length = 0;
  const std::uint8_t* payload = Frame_FindChunk(frame, "IX", &length);
  const auto size = static_cast<std::size_t>(length);
  VideoDecoder& decoder = *context.video_decoder;
  decoder.SetOutput(output);
  std::uint8_t& known = context.key_checked[static_cast<std::size_t>(index)];
  if (known == 1) {
    *decoded = decoder.Decode(payload, size);
    return true;
  }
  if (known == 2) return false;
  const bool alone = DecodeKeyFrameAlone(decoder, payload, size, decoded);
  known = alone ? 1 : 2;
  return alone;
}

// The kept pictures, set up for the open movie and the decoder's picture size on first use: as
// many as kRunUpBytes holds (kRunUpMaxPictures at most), spaced so that they reach the last
// frame. Until the index has found how many frames the movie holds, that is the header's count;
// a movie holding fewer (cut short, its header never completed) then has its pictures spaced
// again over the frames it holds, keeping those that fall on the new spacing. Null when none
// are kept.
RunUpPictures* RunUpReady(PlayerContext& context) {
  RunUpPictures& run_up = context.run_up;
  if (!context.video_decoder) return run_up.spacing > 0 ? &run_up : nullptr;
  const MovieIndex& index = context.movie_index;
  const std::int32_t frames = index.finished() && index.frames() > 0
                                  ? std::min(index.frames(), context.frame_count)
                                  : context.frame_count;
  if (run_up.spacing == 0 || frames < run_up.frames) {
    const VideoDecoder& decoder = *context.video_decoder;
    const std::size_t pixels =
        static_cast<std::size_t>(decoder.width()) * static_cast<std::size_t>(decoder.height());
    const std::size_t count =
        std::min(kRunUpMaxPictures, kRunUpBytes / (pixels * sizeof(std::uint16_t)));
    const std::int64_t last = std::int64_t{frames} - 1;
    std::vector<std::unique_ptr<std::uint16_t[]>> kept;
    std::int64_t spacing = -1;
    if (count > 0 && last >= kRunUpMinSpacing) {
      spacing =
          std::max<std::int64_t>(kRunUpMinSpacing, (last + static_cast<std::int64_t>(count) - 1) /
                                                       static_cast<std::int64_t>(count));
      try {
        kept.resize(static_cast<std::size_t>(last / spacing));
      } catch (const std::bad_alloc&) {
        spacing = -1;
      }
    }
    // Those already kept that the new spacing keeps too.
    for (std::size_t entry = 0; spacing > 0 && entry < run_up.pictures.size(); ++entry) {
      const std::int64_t frame = static_cast<std::int64_t>(entry + 1) * run_up.spacing;
      const auto at = static_cast<std::size_t>(frame / spacing);
      if (frame % spacing == 0 && at <= kept.size())
        kept[at - 1] = std::move(run_up.pictures[entry]);
    }
    run_up.pictures = std::move(kept);
    run_up.spacing = static_cast<std::int32_t>(spacing);
    run_up.pixels = pixels;
    run_up.frames = frames;
  }
  return run_up.spacing > 0 ? &run_up : nullptr;
}

// One pass over frames `first` to `target`: the picture from `key` on (-1: from frame 0 over
// zeroed pictures; with `key_decoded`, from the frame after `key`, whose picture the decoder
// holds) and the sound of frame periods `target` to `target` + 31 into `lead`.
// Returns false when key frame `key` turns out not to decode alone (try an earlier one). A frame
// that cannot be read leaves its index in `*unread`. The caller may give the pass up before any
// of its frames (kAbandoned).
enum class PassResult { kDone, kKeyNotAlone, kReadFailed, kChanged, kOutOfMemory, kAbandoned };

PassResult ReadFailure(IndexedRead read) {
  return read == IndexedRead::kChanged       ? PassResult::kChanged
         : read == IndexedRead::kOutOfMemory ? PassResult::kOutOfMemory
                                             : PassResult::kReadFailed;
}

bool SeekAbandoned(const PlayerContext& context) {
  return context.services.abandon_seek != nullptr &&
         context.services.abandon_seek(context.services.abandon_seek_user);
}

PassResult SeekPass(PlayerContext& context, std::int32_t target, std::int32_t key, bool key_decoded,
                    std::uint8_t* lead, int* picture_result, std::int32_t* unread) {
  const bool sound = context.sound_on && lead != nullptr;
  const std::int32_t period = context.sound.audio_frame_bytes;
  const std::int32_t picture_first = key_decoded ? key + 1 : key < 0 ? 0 : key;
  const std::int32_t sound_first = target < kLeadPeriods ? 0 : target - (kLeadPeriods - 1);
  const std::int32_t first = sound ? std::min(picture_first, sound_first) : picture_first;
  std::uint16_t* output = Engine_DecoderOutput(context);
  VideoDecoder& decoder = *context.video_decoder;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> frame_zero_sound;

  std::int32_t loop_mode = context.loop_mode;
  if (sound) {
    if (loop_mode != kLoopOff && context.sound.audio_lead_copy.empty()) {
      // A looping playback keeps frame 0's audio chunk from its first step on.
      *unread = 0;
      if (const IndexedRead read = ReadIndexedFrame(context, 0, data); read != IndexedRead::kRead)
        return ReadFailure(read);
      std::int32_t length = 0;
      const std::uint8_t* payload = Sound_FindAudioChunk(
          LoadedFrame{data.data(), static_cast<std::uint32_t>(data.size() - 1)}, &length);
      if (payload != nullptr) {
        try {
          context.sound.audio_lead_copy.assign(payload, payload + length);
        } catch (const std::bad_alloc&) {
          return PassResult::kOutOfMemory;
        }
      }
    }
    // Looping, frame 0's step has kept the copy by now.
    if (loop_mode != kLoopOff) loop_mode = kLoopWithLeadCopy;
    if (target >= kLeadPeriods)
      Adpcm_RestoreSnapshot(context.movie_index[sound_first].sound_state,
                            &context.sound.adpcm_stream);
    std::memset(lead, 0, std::size_t{kLeadPeriods} * static_cast<std::size_t>(period));
  }

  std::int32_t periods = 0;  // of the lead filled so far
  for (std::int32_t k = first; k <= target; ++k) {
    if (SeekAbandoned(context)) return PassResult::kAbandoned;
    *unread = k;
    if (const IndexedRead read = ReadIndexedFrame(context, k, data); read != IndexedRead::kRead)
      return ReadFailure(read);
    const LoadedFrame frame{data.data(), static_cast<std::uint32_t>(data.size() - 1)};
    if (k >= picture_first) {
      int decoded = kDecodeOk;
      if (k == key) {
        if (!DecodeKeyFrame(context, k, frame, output, &decoded)) return PassResult::kKeyNotAlone;
      } else {
        if (k == 0 && key < 0) {
          decoder.SetOutput(output);
          decoder.Reset();
        }
        std::int32_t length = 0;
        const std::uint8_t* payload = Frame_FindChunk(frame, "IX", &length);
        decoder.SetOutput(output);
        decoded = decoder.Decode(payload, static_cast<std::size_t>(length));
      }
      // Whichever way the pass started, its pictures are the first pass's.
      if (decoded == kDecodeOk) RunUp_Keep(context, k);
      if (k == target) *picture_result = decoded;
    }
    if (sound && k >= sound_first) {
      if (k == 0) {
        // Frame 0 sets the stream up and holds the first 32 periods; the seek takes those from
        // the target's on. Decoded as the first pass decodes it, whatever the pass now.
        std::int32_t length = 0;
        const std::uint8_t* payload = Sound_FindAudioChunk(frame, &length);
        if (payload != nullptr) Sound_SetupStream(context.sound, payload, length);
        std::vector<std::uint8_t> all(std::size_t{kLeadPeriods} * static_cast<std::size_t>(period));
        std::int32_t first_pass_mode = std::min<std::int32_t>(loop_mode, kLoopOn);
        Sound_DecodeFramePeriod(context.sound, 0, context.frame_count, first_pass_mode, frame,
                                all.data(), static_cast<std::int32_t>(all.size()));
        const std::size_t skip =
            static_cast<std::size_t>(target) * static_cast<std::size_t>(period);
        std::memcpy(lead, all.data() + skip, all.size() - skip);
        periods = kLeadPeriods - target;
      } else {
        Sound_DecodeFramePeriod(context.sound, k, context.frame_count, loop_mode, frame,
                                lead + static_cast<std::size_t>(periods) * period, period);
        periods += 1;
      }
    }
  }
  if (sound) context.loop_mode = static_cast<std::uint8_t>(loop_mode);
  // A scaled movie is shown enlarged on the surface.
  if (context.scaling_buffer) Engine_ScaleOntoSurface(context, output);
  return PassResult::kDone;
}

// Ends the engine's threads for a seek: the clock (the device held, or the timer stopped), the
// sound thread and the disk reader. Their waits give up on `halting`.
void HaltThreads(PlayerContext& context) {
  context.halting = true;
  Engine_Wake(context);
  if (context.sound_on && context.wave_out && context.wave_out_open) context.wave_out->Pause();
  if (context.sound_thread.exists()) {
    if (context.sound_semaphore) context.sound_semaphore->Release();
    context.sound_thread.Close();
  }
  Clock_Stop(context);
  // A tick whose step paused the clock itself (Player_Step) may still be reporting its picture,
  // which the seek is about to decode over and report after: it finishes first.
  while (context.timer_busy) context.timer_busy.wait(true);
  if (context.disk_thread.exists()) {
    if (context.disk_semaphore) context.disk_semaphore->Release();
    Engine_Wake(context);
    context.disk_thread.Close();
    context.disk_thread_id = 0;
  }
  // Every buffer queued comes back from a reset; then the semaphore's count (the wake-up above
  // included) is dropped.
  if (context.sound_on && context.wave_out && context.wave_out_open && context.wave_buffers) {
    context.wave_out->Reset();
    for (;;) {
      const std::uint64_t done = context.buffers_done;
      if (done >= context.buffers_queued) break;
      context.buffers_done.wait(done);
    }
  }
  if (context.sound_semaphore)
    while (context.sound_semaphore->TryAcquireFor(std::chrono::milliseconds(0))) {
    }
}

// Empties the frame ring and gives the disk reader its whole ring again.
void ClearRing(PlayerContext& context) {
  for (std::int32_t i = 0; i < context.ring_capacity; ++i) {
    delete context.frame_ring[i].exchange(nullptr);
    context.ring_indexes[i] = -1;
  }
  context.disk_semaphore = std::make_unique<Semaphore>(context.ring_size, context.ring_size);
}

// A seek that cannot go on ends playback, saying why, and returns the code it ended with.
std::int32_t EndSeek(PlayerContext& context, PlaybackEnd end, std::int32_t code, std::int32_t frame,
                     const std::string& problem) {
  context.last_result = code;
  Engine_RecordEnd(context, end, code, frame, problem);
  Player_StopLocked(context);
  return code;
}

// The seek itself, on the caller's thread, holding the control: `frame` is indexed.
std::int32_t SeekLocked(PlayerContext& context, std::int32_t frame) {
  Status_Publish(context, [](PlayerStatus& status) { status.seeking = true; });
  const bool stepping = context.stepping.exchange(kStepNone) != kStepNone;
  HaltThreads(context);
  // Read once the threads are down: a listener on one of them may have paused or played on
  // while they were taken down, and the seek leaves the engine as it left it.
  const bool paused = context.paused || stepping;
  ClearRing(context);

  // The picture from the nearest key frame that decodes alone, else from frame 0.
  const bool sound = context.sound_on && context.wave_out_open;
  std::unique_ptr<std::uint8_t[]> lead;
  if (sound) {
    lead.reset(new (std::nothrow)
                   std::uint8_t[std::size_t{kLeadPeriods} *
                                static_cast<std::size_t>(context.sound.audio_frame_bytes)]);
    if (!lead)
      return EndSeek(context, PlaybackEnd::kReaderFailed, kPlayerOutOfMemory, frame,
                     Player_ResultText(kPlayerOutOfMemory));
  }
  std::int32_t key = context.movie_index.KeyFrameAtOrBefore(frame);
  // A frame further on in the run from that key frame than the picture the decoder holds (a
  // drag or a key held down going forward) is decoded on from that picture, as playback would;
  // that picture's own frame (a press on the bar where the thumb is) is not decoded again.
  const std::int32_t decoded = context.decoded_frame.exchange(-1);
  bool key_decoded = decoded >= 0 && decoded >= key && decoded <= frame;
  if (key_decoded) key = decoded;
  // A picture kept further on in the run (or at the key frame itself) saves decoding up to it.
  const auto from_kept = [&] {
    const std::int32_t kept = RunUp_Restore(context, frame, key_decoded ? key : key - 1);
    if (kept < 0) return;
    key = kept;
    key_decoded = true;
  };
  from_kept();
  int picture_result = kDecodeOk;
  for (;;) {
    std::int32_t unread = frame;
    const PassResult pass =
        SeekPass(context, frame, key, key_decoded, lead.get(), &picture_result, &unread);
    if (pass == PassResult::kDone) break;
    if (pass == PassResult::kAbandoned) {
      // Given up by the caller: playback ends as its stop ends it, nothing said of the frame.
      Player_StopLocked(context);
      return kPlayerReadFailed;
    }
    if (pass != PassResult::kKeyNotAlone) {
      // The movie cannot be read where it could be when indexed (a failing disk, or a file cut
      // or rewritten since): playback ends, saying which frame failed and how.
      const bool read = pass != PassResult::kOutOfMemory;
      const std::int32_t code = read ? kPlayerReadFailed : kPlayerOutOfMemory;
      return EndSeek(context, PlaybackEnd::kReaderFailed, code, frame,
                     pass == PassResult::kChanged ? FrameMovedProblem(unread)
                     : read ? FrameReadProblem(Frame_ChunkReadFailure(context.source), unread,
                                               context.frame_count)
                            : "frame " + std::to_string(frame) + ": " + Player_ResultText(code));
    }
    key = key > 0 ? context.movie_index.KeyFrameAtOrBefore(key - 1) : -1;
    key_decoded = false;
    from_kept();
  }
  if (picture_result == kDecodeOk) context.decoded_frame = frame;

  // Playback goes on from the next frame, as after the frame step that presented this one.
  std::int32_t next = frame + 1;
  if (context.loop_mode != kLoopOff && next == context.frame_count) {
    next = 0;
    context.loop_count += 1;
  }
  context.current_frame = next;
  context.read_position = next;
  const FrameInfo& shown = context.movie_index[frame].frame;
  context.reader_offset =
      next == 0 ? kFirstFrameOffset : shown.offset + static_cast<std::int64_t>(shown.size);
  Source_Seek(context.source, context.reader_offset);
  context.reader_finished = false;
  context.step_failed = false;
  context.frame_wanted = -1;
  context.reader_exit_code = kThreadStillActive;
  Status_Publish(context, [paused](PlayerStatus& status) {
    status.end = PlaybackEnd::kNone;
    status.end_code = 0;
    status.end_frame = 0;
    status.state = paused ? PlayerState::kPaused : PlayerState::kPlaying;
    status.seeking = false;
  });
  context.paused = paused;
  Engine_ReportPresented(context, frame, context.loop_count - (next == 0 ? 1 : 0),
                         picture_result != kDecodeOk);

  // A stop asked for meanwhile (from the listener) runs when the control is let go; a pause or a
  // restart from the listener is obeyed.
  if (!context.playing) return kPlayerOk;
  const bool stay_paused = context.paused;
  context.halting = false;
  // A device that takes none of the lead has ended playback there, and the seek says so.
  std::int32_t result = kPlayerOk;
  if (sound) {
    const std::uint64_t queued_before = context.buffers_queued;
    const std::int32_t queued = Wave_QueueLead(context, lead.get(), !stay_paused);
    if (!context.playing) return queued;
    if (context.buffers_queued == queued_before) result = queued;
  }
  const bool reader =
      context.disk_thread.Start([&context] { return Reader_Thread(context); },
                                !Engine_MayCreateThread(context, EngineThread::kDiskReader));
  context.disk_thread_id = context.disk_thread.id();
  // The reader, and the sound thread or the clock unless it stays paused: without them nothing
  // plays on.
  const bool running =
      reader &&
      (context.sound_on
           ? context.sound_thread.Start([&context] { return Sound_Thread(context); },
                                        !Engine_MayCreateThread(context, EngineThread::kSound))
           : stay_paused || Clock_Start(context, context.timer_period_ms != 0
                                                     ? context.timer_period_ms.load()
                                                     : ClockPeriod(context.frame_rate)));
  if (!running)
    return EndSeek(context, PlaybackEnd::kStartFailed, kPlayerNoThread, frame,
                   Player_ResultText(kPlayerNoThread));
  return result;
}

// Waits for the index to reach `frame`, or for the caller to give the wait up; true when the
// frame can be sought.
bool FrameSeekable(PlayerContext& context, std::int32_t frame) {
  const auto indexed = [&] {
    return context.movie_index.WaitFor(frame, context.services.abandon_seek,
                                       context.services.abandon_seek_user);
  };
  if (frame < 0 || frame >= context.frame_count) return false;
  if (indexed()) return true;
  // An index that could not open the file (too many files open for a moment) or find the
  // memory for it is built again: each seek tries. One that met a read its disk failed (a bad
  // sector, where each failing read may take seconds) is built again only once the file has
  // changed since: the same read would fail again, after reading every frame before it.
  const IndexEnd end = context.movie_index.end();
  if (end == IndexEnd::kReadError || end == IndexEnd::kOutOfMemory) {
    Index_Stop(context);
    if (end == IndexEnd::kReadError && context.index_open_problem.empty() &&
        context.index_failed_on.known && StampOf(context) == context.index_failed_on)
      return false;
    Index_Start(context);
    return indexed();
  }
  // A file still being written (a download) may hold the frame by now, though the index met
  // its end before it: the index is built again once the file has grown since (not another
  // file renamed over its name, whose index would not fit the file open).
  if ((end != IndexEnd::kEndOfData && end != IndexEnd::kTruncated) ||
      context.source.source_kind != kSourcePlainFile || !NameStillNamesMovie(context))
    return false;
  Index_Stop(context);
  std::error_code error;
  const std::uintmax_t length = std::filesystem::file_size(context.movie_name, error);
  if (error || static_cast<std::int64_t>(length) <= context.index_file_length) return false;
  Index_Start(context);
  return indexed();
}

}  // namespace

void RunUp_Keep(PlayerContext& context, std::int32_t frame) {
  RunUpPictures* run_up = RunUpReady(context);
  if (run_up == nullptr || frame <= 0 || frame % run_up->spacing != 0) return;
  const auto entry = static_cast<std::size_t>(frame / run_up->spacing - 1);
  if (entry >= run_up->pictures.size() || run_up->pictures[entry]) return;
  // Without the memory, that picture is decoded again when it is needed.
  std::unique_ptr<std::uint16_t[]> copy(new (std::nothrow) std::uint16_t[run_up->pixels]);
  if (!copy) return;
  std::memcpy(copy.get(), context.video_decoder->Picture().pixels,
              run_up->pixels * sizeof(std::uint16_t));
  run_up->pictures[entry] = std::move(copy);
}

std::int32_t RunUp_Restore(PlayerContext& context, std::int32_t frame, std::int32_t after) {
  RunUpPictures* run_up = RunUpReady(context);
  if (run_up == nullptr || frame <= 0) return -1;
  const std::int32_t spacing = run_up->spacing;
  for (auto entry = std::min<std::size_t>(static_cast<std::size_t>(frame / spacing),
                                          run_up->pictures.size());
       entry > 0 && static_cast<std::int32_t>(entry) * spacing > after; --entry) {
    const std::unique_ptr<std::uint16_t[]>& picture = run_up->pictures[entry - 1];
    if (!picture) continue;
    context.video_decoder->SetOutput(Engine_DecoderOutput(context));
    context.video_decoder->Restore(picture.get());
    return static_cast<std::int32_t>(entry) * spacing;
  }
  return -1;
}

void RunUp_Clear(PlayerContext& context) {
  context.run_up.spacing = 0;
  context.run_up.pixels = 0;
  context.run_up.frames = 0;
  std::vector<std::unique_ptr<std::uint16_t[]>>().swap(context.run_up.pictures);
}

void Index_Start(PlayerContext& context) {
  context.index_cancel = false;
  context.index_open_problem.clear();
  context.index_failed_on = MovieFileStamp{};
  context.key_checked.assign(static_cast<std::size_t>(std::max(context.frame_count, 0)), 0);
  if (!context.movie_index.Reset(context.frame_count)) return;
  if (context.frame_count == 0) {
    context.movie_index.Finish(IndexEnd::kComplete);
    return;
  }
  if (!context.index_thread.Start([&context] { return Index_Thread(context); },
                                  !Engine_MayCreateThread(context, EngineThread::kIndex)))
    context.movie_index.Finish(IndexEnd::kNoThread);
}

void Index_Stop(PlayerContext& context) {
  context.index_cancel = true;
  context.index_thread.Close();
}

std::int32_t Player_Seek(PlayerContext& context, std::int32_t frame) {
  if (Engine_OnEngineThread(context) || !context.movie_open) return kPlayerReadFailed;
  if (!Control_Take(context, true)) return kPlayerReadFailed;
  std::int32_t result = kPlayerReadFailed;
  const bool open = context.movie_open && !context.closing;
  // An index whose thread could not be made is tried again: the system may have threads now.
  if (open && context.movie_index.end() == IndexEnd::kNoThread) Index_Start(context);
  if (open && context.movie_index.end() == IndexEnd::kNoThread) {
    result = kPlayerNoThread;
  } else if (open && FrameSeekable(context, frame)) {
    if (!context.playing) {
      // Before start: the start begins there.
      context.start_frame = frame;
      result = kPlayerOk;
    } else if (!context.start_in_progress) {
      result = SeekLocked(context, frame);
    }
  } else if (context.playing && !context.closing && !context.start_in_progress &&
             SeekAbandoned(context)) {
    // Given up while the index was behind: playback ends as a seek given up on its way ends it.
    Player_StopLocked(context);
  }
  Control_Give(context);
  return result;
}

std::int32_t Player_PlayableFrames(PlayerContext& context) {
  if (!context.movie_open) return 0;
  context.movie_index.WaitFor(context.frame_count, context.services.abandon_seek,
                              context.services.abandon_seek_user);
  return context.movie_index.frames();
}

std::string PlayableFramesText(std::int32_t frames) {
  return "the movie has " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
         " that can be played";
}

std::string Player_UnplayableText(PlayerContext& context) {
  const std::int32_t frames = Player_PlayableFrames(context);
  if (context.movie_open && context.movie_index.finished()) {
    if (!context.index_open_problem.empty())
      return "the movie could not be opened again to find its frames: " +
             context.index_open_problem;
    // Where the index gave up, the frames after say nothing of what the movie holds.
    const IndexEnd end = context.movie_index.end();
    if (end == IndexEnd::kOutOfMemory) return "not enough memory to index the movie's frames";
    if (end == IndexEnd::kReadError) return IndexEndProblem(end, frames, context.frame_count);
  }
  return PlayableFramesText(frames);
}

std::int32_t Engine_StartAt(PlayerContext& context, std::int32_t frame) {
  if (!Control_Take(context, true)) return kPlayerReadFailed;
  const std::int32_t result = SeekLocked(context, frame);
  Control_Give(context);
  return result;
}

std::int32_t Player_StepBack(PlayerContext& context) {
  const PlayerStatus status = Player_Status(context);
  if (status.state != PlayerState::kPaused && status.state != PlayerState::kStepping)
    return kPlayerReadFailed;
  if (status.shown_frame <= 0) return kPlayerReadFailed;
  return Player_Seek(context, status.shown_frame - 1);
}

std::int32_t Player_Step(PlayerContext& context) {
  const ControlScope control(context);
  if (!context.playing) return kPlayerReadFailed;
  // The step before, pausing the clock right now, ends first: its end would otherwise call off
  // this one, and the clock started for it would run on unpaused.
  while (context.stepping == kStepPausing) context.stepping.wait(kStepPausing);
  if (!context.paused) {
    Player_Pause(context);
    return kPlayerOk;
  }
  context.stepping = kStepAsked;
  context.paused = false;
  Status_Publish(context, [](PlayerStatus& status) { status.state = PlayerState::kStepping; });
  std::int32_t refused = kPlayerOk;
  if (context.sound_on) {
    // The card paces the frames: one that will not play brings no next frame.
    if (!context.wave_out || !context.wave_out_open || context.wave_out->Restart() != kDeviceOk)
      refused = kPlayerDeviceRefused;
  } else if (!Clock_Start(context, context.timer_period_ms != 0
                                       ? context.timer_period_ms.load()
                                       : ClockPeriod(context.frame_rate))) {
    // No clock, no next frame.
    refused = kPlayerNoThread;
  }
  if (refused != kPlayerOk) {
    // The engine stays paused where it is.
    context.stepping = kStepNone;
    Engine_PauseClock(context);
  }
  return refused;
}

}  // namespace tarvel
