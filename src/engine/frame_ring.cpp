// The disk reader and the frame ring: frames are loaded ahead, in file order, into a small
// table of slots; the frame step takes them out by frame index.
#include <new>
#include <string>

#include "container/movie_reader.h"
#include "engine/player_context.h"
#include "platform/debug_output.h"

namespace tarvel {

bool Ring_Contains(PlayerContext& context, std::int32_t index) {
  if (!context.frame_ring) return false;
  for (std::int32_t i = 0; i < context.ring_size; ++i)
    if (context.frame_ring[i].load() != nullptr && context.ring_indexes[i].load() == index)
      return true;
  return false;
}

FrameSlot* Ring_Find(PlayerContext& context, std::int32_t index) {
  if (!context.frame_ring) return nullptr;
  for (std::int32_t i = 0; i < context.ring_size; ++i) {
    FrameSlot* slot = context.frame_ring[i].load();
    if (slot != nullptr && slot->frame_index == index) return slot;
  }
  return nullptr;
}

bool Ring_Release(PlayerContext& context, std::int32_t index) {
  if (!context.frame_ring) return false;
  for (std::int32_t i = 0; i < context.ring_size; ++i) {
    FrameSlot* slot = context.frame_ring[i].load();
    if (slot != nullptr && slot->frame_index == index) {
      Slot_FreeData(*slot);
      context.frame_ring[i].store(nullptr);
      delete slot;
      return true;
    }
  }
  return false;
}

std::unique_ptr<FrameSlot> Slot_Create(std::int32_t index) {
  auto slot = std::unique_ptr<FrameSlot>(new (std::nothrow) FrameSlot);
  if (!slot) return nullptr;
  slot->busy = true;
  slot->frame_index = index;
  return slot;
}

void Slot_FreeData(FrameSlot& slot) {
  slot.data.reset();
}

std::int32_t Reader_LoadNext(PlayerContext& context, FrameRead& fault) {
  const std::int32_t position = context.read_position;
  if (!context.playing || Ring_Contains(context, position)) return kPlayerOk;

  std::int32_t entry = -1;
  for (std::int32_t i = 0; i < context.ring_size; ++i) {
    if (context.frame_ring[i].load() == nullptr) {
      entry = i;
      break;
    }
  }
  if (entry < 0) return kPlayerOk;

  // No word read leaves `size` at this, which no word gives.
  std::uint32_t size = ~0u;
  fault = Frame_ReadWord(context.source, context.movie_length, context.reader_offset, &size);
  // A size of 0 marks the end of the data: playback ends there, and a looping movie cannot go
  // on past it. Any frame that cannot be loaded has nothing allocated for it.
  if (fault == FrameRead::kEnd && size == 0 && context.loop_mode == kLoopOff)
    return kPlayerEndOfData;
  if (fault != FrameRead::kOk) return kPlayerReadFailed;
  const std::int64_t chunk_bytes = static_cast<std::int64_t>(size - kFrameWordSize);

  std::unique_ptr<FrameSlot> slot = Slot_Create(position);
  if (!slot) return kPlayerOutOfMemory;
  // One byte more than the chunk list keeps the buffer non-empty for a frame without chunks.
  slot->data.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(chunk_bytes) + 1]);
  if (!slot->data) return kPlayerOutOfMemory;
  slot->data_length = static_cast<std::int32_t>(chunk_bytes);
  if (!Source_Read(context.source, slot->data.get(), static_cast<std::size_t>(chunk_bytes))) {
    fault = Frame_ChunkReadFailure(context.source);
    return kPlayerReadFailed;
  }
  context.reader_offset += size;
  context.frames_loaded += 1;

  FrameSlot* stored = slot.release();
  context.ring_indexes[entry].store(position);
  context.frame_ring[entry].store(stored);
  stored->busy = false;
  Engine_Wake(context);

  std::int32_t next = position + 1;
  if (context.loop_mode != kLoopOff && next == context.frame_count) {
    next = 0;
    Source_Seek(context.source, kFirstFrameOffset);
    context.reader_offset = kFirstFrameOffset;
  }
  context.read_position = next;
  return kPlayerOk;
}

std::uint32_t Reader_Thread(PlayerContext& context) {
  const EngineThreadScope engine_thread(context);
  DebugOutput("Thread Disque Ok\n");
  std::int32_t exit_code = kPlayerOk;
  FrameRead fault = FrameRead::kOk;
  for (;;) {
    const std::uint32_t seen = context.wake_count.load();
    if (context.current_frame >= context.frame_count) break;
    if (exit_code != kPlayerOk || !context.playing || context.halting) break;
    if (context.read_position < context.frame_count) {
      context.disk_semaphore->Acquire();
      exit_code = Reader_LoadNext(context, fault);
    } else {
      // Everything is loaded and the movie does not loop: the frame step wakes us when it has
      // presented a frame.
      Engine_WaitForWake(context, seen);
    }
  }
  const std::int32_t failed_frame = context.read_position;
  if (exit_code != kPlayerOk) {
    // The frames loaded before the one that failed are presented first, unless the pictures
    // stand still on a failing frame step; playback ends when the clock asks for the failed
    // frame (a movie paused before it stays paused), or at once when the start still waits for
    // frame 0.
    for (;;) {
      const std::uint32_t seen = context.wake_count.load();
      if (!context.playing || context.halting || context.step_failed ||
          context.frame_wanted == failed_frame || context.frames_loaded == 0)
        break;
      Engine_WaitForWake(context, seen);
    }
  }
  context.reader_exit_code = static_cast<std::uint32_t>(exit_code);
  // A seek holding the threads down starts a new reader: this one has not ended playback.
  if (context.playing && !context.halting) {
    if (exit_code == kPlayerOk)
      Engine_RecordEnd(context, PlaybackEnd::kEndOfMovie, kPlayerOk, context.frame_count, {});
    else
      Engine_RecordEnd(
          context, PlaybackEnd::kReaderFailed, exit_code, failed_frame,
          exit_code == kPlayerReadFailed || exit_code == kPlayerEndOfData
              ? FrameReadProblem(fault, failed_frame, context.frame_count)
              : "frame " + std::to_string(failed_frame) + ": " + Player_ResultText(exit_code));
  }
  // While Player_Start runs, it does the stop itself when it finds reader_finished set. A stop
  // or a seek that holds the engine waits for this thread: it must not wait for them, and runs
  // this stop when it lets go (a seek that started this reader still holds the engine while the
  // reader may fail already).
  context.reader_finished = true;
  Engine_Wake(context);
  if (context.playing && !context.halting && !context.start_in_progress) Player_Stop(context);
  DebugOutput("Thread disque termin\xE9\n");
  return static_cast<std::uint32_t>(exit_code);
}

}  // namespace tarvel
