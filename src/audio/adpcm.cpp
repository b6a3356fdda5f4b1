#include "audio/adpcm.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "audio/adpcm_tables.h"

namespace tarvel {

namespace {

// Set once by Adpcm_Init and never cleared; read from whichever thread decodes.
std::atomic<bool> g_adpcm_initialised{false};

constexpr const char* kMessages[] = {
    "The request completed successfully.",
    "Wrong Adpcm library version.",
    "You must call Adpcm_Init() first.",
    "PcmSize parameter must be even (Pcm samples are 16 bits).",
    "PcmSize parameter must not be 0.",
    "PcmSize parameter must not be NULL.",
    "AdpcmBuf parameter must not be NULL.",
    "Frequency parameter must not be NULL.",
    "AdpcmSize parameter must not be 0.",
    "AdpcmSize parameter must not be NULL.",
    "AdpcmBuf parameter must not be NULL.",
    "fStereo parameter must not be NULL.",
    "StreamDatas parameter must not be NULL.",
    "File is not a valid ADQ file.",
    "Invalid ADQ file version.",
    "Unknown ErrorCode parameter",
    "szOutStr parameter must not be NULL.",
};

constexpr char kAdqMagic[8] = {'V', 'E', 'L', 'D', '_', 'A', 'D', 'Q'};
constexpr int kAdqVersionMajor = 1;
constexpr int kAdqVersionMinor = 20;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Magic and version of the header at `buf` (at least kAdqHeaderSize bytes).
int ValidateHeader(const std::uint8_t* buf) {
  for (int i = 0; i < 8; ++i) {
    if (buf[i] != static_cast<std::uint8_t>(kAdqMagic[i])) return kAdpcmNotAdqFile;
  }
  char version[16];
  std::snprintf(version, sizeof version, "%1d.%02d", kAdqVersionMajor, kAdqVersionMinor);
  // Compared like a bounded string compare: equal up to 4 characters or a shared terminator.
  for (int i = 0; i < 4; ++i) {
    const auto expected = static_cast<std::uint8_t>(version[i]);
    if (buf[8 + i] != expected) return kAdpcmBadAdqVersion;
    if (expected == 0) break;
  }
  return kAdpcmOk;
}

bool HeaderFits(std::size_t adpcm_size) {
  return adpcm_size >= kAdqHeaderSize;
}

// Bytes between the cursor and the data end; 0 when the cursor is missing or at/after the end.
std::size_t AvailableBytes(const std::uint8_t* data, const std::uint8_t* end) {
  const auto begin_address = reinterpret_cast<std::uintptr_t>(data);
  const auto end_address = reinterpret_cast<std::uintptr_t>(end);
  if (data == nullptr || end_address <= begin_address) return 0;
  return end_address - begin_address;
}

inline void PutSample(std::uint8_t*& out, std::uint32_t predictor) {
  out[0] = static_cast<std::uint8_t>(predictor);
  out[1] = static_cast<std::uint8_t>(predictor >> 8);
  out += 2;
}

// One code for one channel: the predictor (kept as its 32-bit pattern so that it wraps rather
// than saturates) moves by the table difference, its low 16 bits are the sample.
inline void DecodeCode(std::uint32_t code, std::uint32_t& predictor, std::uint32_t& row,
                       std::uint8_t*& out) {
  const std::uint32_t k = row + code;
  predictor += static_cast<std::uint32_t>(adpcm_tables::kCodeTables.difference[k]);
  row = adpcm_tables::kCodeTables.next_row[k];
  PutSample(out, predictor);
}

std::uint32_t RowOf(std::uint32_t index) {
  return std::min<std::uint32_t>(index, adpcm_tables::kMaxStepIndex) * 16;
}

}  // namespace

int Adpcm_Init(std::int32_t version) {
  if (version != kAdpcmLibraryVersion) return kAdpcmWrongLibraryVersion;
  g_adpcm_initialised.store(true, std::memory_order_release);
  return kAdpcmOk;
}

int Adpcm_GetInfo(const std::uint8_t* adpcm_buf, std::size_t adpcm_size, std::uint32_t* pcm_size,
                  std::uint32_t* frequency, std::uint32_t* stereo) {
  if (!g_adpcm_initialised.load(std::memory_order_acquire)) return kAdpcmNotInitialised;
  if (adpcm_buf == nullptr) return kAdpcmBufferMissing;
  if (pcm_size == nullptr) return kAdpcmPcmSizeMissing;
  if (frequency == nullptr) return kAdpcmFrequencyMissing;
  if (stereo == nullptr) return kAdpcmStereoMissing;
  if (!HeaderFits(adpcm_size)) return kAdpcmNotAdqFile;
  if (const int result = ValidateHeader(adpcm_buf); result != kAdpcmOk) return result;
  const std::uint32_t is_stereo = ReadU32(adpcm_buf + 28) & 1u;
  const std::uint32_t samples = ReadU32(adpcm_buf + 12);
  *stereo = is_stereo;
  *pcm_size = samples * (is_stereo ? 4u : 2u);
  *frequency = ReadU32(adpcm_buf + 16);
  return kAdpcmOk;
}

int Adpcm_InitStream(const std::uint8_t* adpcm_buf, std::size_t adpcm_size, StreamDatas* stream) {
  if (!g_adpcm_initialised.load(std::memory_order_acquire)) return kAdpcmNotInitialised;
  if (adpcm_buf == nullptr) return kAdpcmBufferMissing;
  if (stream == nullptr) return kAdpcmStreamMissing;
  if (!HeaderFits(adpcm_size)) return kAdpcmNotAdqFile;
  if (const int result = ValidateHeader(adpcm_buf); result != kAdpcmOk) return result;
  StreamDatas s;
  s.stereo = ReadU32(adpcm_buf + 28) & 1u;
  s.data = adpcm_buf + kAdqHeaderSize;
  s.nibble_phase = 0;
  s.frequency = ReadU32(adpcm_buf + 16);
  s.total_frames = ReadU32(adpcm_buf + 12);
  s.remaining_frames = s.total_frames;
  s.left_predictor = static_cast<std::int32_t>(ReadU32(adpcm_buf + 20));
  s.right_predictor = static_cast<std::int32_t>(ReadU32(adpcm_buf + 24));
  s.left_index = 0;
  s.right_index = 0;
  s.left_step = adpcm_tables::kStepSize[0];
  s.right_step = adpcm_tables::kStepSize[0];
  s.held_byte = 0;
  s.data_end = adpcm_buf + adpcm_size;
  *stream = s;
  return kAdpcmOk;
}

int Adpcm_Decode(std::uint8_t** out, StreamDatas* stream, std::int32_t frames,
                 std::int32_t* shortfall, std::int32_t* starved) {
  if (!g_adpcm_initialised.load(std::memory_order_acquire)) return kAdpcmNotInitialised;
  if (out == nullptr || *out == nullptr) return kAdpcmPcmSizeZero;
  if (stream == nullptr) return kAdpcmBufferMissing;
  StreamDatas& s = *stream;

  // How many frames this call produces, and by how many the stream falls short.
  const std::uint32_t wanted = frames > 0 ? static_cast<std::uint32_t>(frames) : 0;
  std::uint32_t count;
  if (wanted < s.remaining_frames) {
    count = wanted;
    s.remaining_frames -= wanted;
    if (shortfall) *shortfall = 0;
  } else {
    count = s.remaining_frames;
    if (shortfall) *shortfall = static_cast<std::int32_t>(wanted - s.remaining_frames);
    s.remaining_frames = 0;
  }
  if (starved) *starved = 0;
  if (count == 0) return kAdpcmOk;

  // One bounds check up front: how many of those frames have their codes in the data.
  const std::size_t bytes = AvailableBytes(s.data, s.data_end);
  const bool is_stereo = s.stereo != 0;
  std::uint64_t available;
  if (is_stereo) {
    available = bytes;
  } else {
    available = static_cast<std::uint64_t>(bytes) * 2 + (s.nibble_phase != 0 ? 1 : 0);
  }
  const std::uint32_t decoded = available < count ? static_cast<std::uint32_t>(available) : count;

  std::uint8_t* o = *out;
  const std::uint8_t* p = s.data;
  std::uint32_t left = static_cast<std::uint32_t>(s.left_predictor);
  std::uint32_t left_row = RowOf(s.left_index);

  if (is_stereo) {
    std::uint32_t right = static_cast<std::uint32_t>(s.right_predictor);
    std::uint32_t right_row = RowOf(s.right_index);
    for (std::uint32_t i = 0; i < decoded; ++i) {
      const std::uint32_t byte = *p++;
      DecodeCode(byte >> 4, left, left_row, o);
      DecodeCode(byte & 15u, right, right_row, o);
    }
    s.right_predictor = static_cast<std::int32_t>(right);
    s.right_index = right_row / 16;
    s.right_step = adpcm_tables::kStepSize[s.right_index];
  } else {
    std::uint32_t phase = s.nibble_phase != 0 ? 1u : 0u;
    std::uint8_t held = s.held_byte;
    std::uint32_t i = 0;
    if (decoded > 0 && phase == 1) {
      DecodeCode(held & 15u, left, left_row, o);
      phase = 0;
      i = 1;
    }
    for (; i + 2 <= decoded; i += 2) {
      held = *p++;
      DecodeCode(static_cast<std::uint32_t>(held >> 4), left, left_row, o);
      DecodeCode(held & 15u, left, left_row, o);
    }
    if (i < decoded) {
      held = *p++;
      DecodeCode(static_cast<std::uint32_t>(held >> 4), left, left_row, o);
      phase = 1;
    }
    s.nibble_phase = phase;
    s.held_byte = held;
  }
  s.left_predictor = static_cast<std::int32_t>(left);
  s.left_index = left_row / 16;
  s.left_step = adpcm_tables::kStepSize[s.left_index];
  s.data = p;

  // Frames whose codes are missing are silence.
  if (decoded < count) {
    const std::size_t missing = static_cast<std::size_t>(count - decoded) * (is_stereo ? 4 : 2);
    std::memset(o, 0, missing);
    o += missing;
    if (starved) *starved = static_cast<std::int32_t>(count - decoded);
  }
  *out = o;
  return kAdpcmOk;
}

int Adpcm_GetErrorText(int code, std::string* out) {
  if (out == nullptr) return kAdpcmOutputTextMissing;
  if (code < kAdpcmOk || code > kAdpcmBadAdqVersion) {
    *out = kMessages[kAdpcmUnknownCode];
    return kAdpcmUnknownCode;
  }
  *out = kMessages[code];
  return kAdpcmOk;
}

const char* Adpcm_ErrorText(int code) {
  if (code < kAdpcmOk || code > kAdpcmOutputTextMissing) return kMessages[kAdpcmUnknownCode];
  return kMessages[code];
}

}  // namespace tarvel
