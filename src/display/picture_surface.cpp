#include "display/picture_surface.h"

#include <algorithm>
#include <limits>
#include <new>

#include "video/pixel_expand.h"

namespace tarvel {

namespace {

constexpr std::uint32_t kBlack = 0xFF000000u;

}  // namespace

bool PictureSurface::Create(std::uint32_t width, std::uint32_t height, void* x11_connection) {
  Release();
  if (width == 0 || height == 0 || std::uint64_t{width} * height > kMaxPixels) return false;
  const std::size_t count = std::size_t{width} * height;
  pixels_.reset(new (std::nothrow) std::uint16_t[count]());
  if (x11_connection != nullptr) {
    shared_ = X11PictureOutput::Create(x11_connection, static_cast<int>(width),
                                       static_cast<int>(height), static_cast<int>(kPictures));
    for (std::size_t i = 0; shared_ && i < kPictures; ++i)
      pictures_[i] = shared_->Pixels(static_cast<int>(i));
  } else {
    for (std::size_t i = 0; i < kPictures; ++i) {
      owned_[i].reset(new (std::nothrow) std::uint32_t[count]);
      pictures_[i] = owned_[i].get();
    }
  }
  if (!pixels_ || std::any_of(pictures_.begin(), pictures_.end(), [](auto* p) { return !p; })) {
    Release();
    return false;
  }
  // Blocks are counted only where they tile the picture; elsewhere every picture is whole.
  if (width % 8 == 0 && height % 8 == 0) {
    try {
      block_changed_at_.assign(count / 64, 0);
    } catch (const std::bad_alloc&) {
      block_changed_at_.clear();
    }
  }
  presents_ = 0;
  whole_change_ = 0;
  widened_at_.fill(0);
  width_ = width;
  height_ = height;
  for (std::size_t i = 0; i < kPictures; ++i) {
    std::fill(pictures_[i], pictures_[i] + count, kBlack);
    images_[i] = QImage(reinterpret_cast<uchar*>(pictures_[i]), static_cast<int>(width),
                        static_cast<int>(height), static_cast<qsizetype>(4 * std::size_t{width}),
                        QImage::Format_RGB32);
  }
  shown_ = 0;
  drawing_ = 1;
  waiting_.store(2);
  shown_image_ = images_[shown_];
  return true;
}

void PictureSurface::Release() {
  // The views go before the pixels they show.
  shown_image_ = QImage();
  for (QImage& image : images_) image = QImage();
  pictures_.fill(nullptr);
  for (auto& picture : owned_) picture.reset();
  shared_.reset();
  pixels_.reset();
  block_changed_at_ = std::vector<std::uint32_t>();
  width_ = 0;
  height_ = 0;
}

bool PictureSurface::ShowShared(std::uint32_t window, const QRect& area, const QPoint& to) {
  if (!shared_) return false;
  const QRect inside = area & QRect(0, 0, static_cast<int>(width_), static_cast<int>(height_));
  if (inside.isEmpty()) return true;
  return shared_->Show(window, static_cast<int>(shown_), inside.x(), inside.y(), inside.width(),
                       inside.height(), to.x() + inside.x() - area.x(),
                       to.y() + inside.y() - area.y());
}

std::uint32_t PictureSurface::Record(const BlockChanges& changes) {
  if (presents_ == std::numeric_limits<std::uint32_t>::max()) {
    // Numbered pictures for years on end: the numbers start again, every picture widened whole.
    presents_ = 0;
    whole_change_ = 0;
    std::fill(block_changed_at_.begin(), block_changed_at_.end(), 0);
    widened_at_.fill(0);
  }
  const std::uint32_t present = ++presents_;
  const std::size_t blocks = block_changed_at_.size();
  bool whole = changes.whole || blocks == 0 || (changes.blocks == nullptr && changes.count > 0);
  for (std::size_t i = 0; !whole && i < changes.count; ++i) {
    const std::uint32_t block = changes.blocks[i];
    if (block < blocks)
      block_changed_at_[block] = present;
    else
      whole = true;
  }
  if (whole) whole_change_ = present;
  return present;
}

void PictureSurface::Skip(const BlockChanges& changes) {
  if (pixels_) Record(changes);
}

void PictureSurface::Present(const std::uint16_t* pixels, bool format565,
                             const BlockChanges& changes) {
  if (!pixels_ || pixels == nullptr) return;
  const std::uint32_t present = Record(changes);

  // The free picture holds an earlier present: what changed since then is widened again.
  std::uint32_t* picture = pictures_[drawing_];
  const std::uint32_t since = widened_at_[drawing_];
  if (since == 0 || since < whole_change_ || widened_565_[drawing_] != format565)
    ExpandPixelsToXrgb32(pixels, std::size_t{width_} * height_, format565, picture);
  else
    WidenChangedBlocks(pixels, format565, since, picture);
  widened_at_[drawing_] = present;
  widened_565_[drawing_] = format565;
  // Hand the finished picture over and take back whichever the window's thread is not using.
  drawing_ = waiting_.exchange(drawing_ | kNewer, std::memory_order_acq_rel) & 3;
}

void PictureSurface::WidenChangedBlocks(const std::uint16_t* pixels, bool format565,
                                        std::uint32_t since, std::uint32_t* picture) const {
  const std::size_t width = width_;
  const std::size_t columns = width / 8;
  const std::size_t rows = height_ / 8;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::uint32_t* changed_at = block_changed_at_.data() + row * columns;
    std::size_t column = 0;
    while (column < columns) {
      if (changed_at[column] <= since) {
        ++column;
        continue;
      }
      // A run of changed blocks side by side, widened row by row.
      std::size_t end = column + 1;
      while (end < columns && changed_at[end] > since) ++end;
      const std::size_t first = row * 8 * width + column * 8;
      for (std::size_t line = 0; line < 8; ++line)
        ExpandPixelsToXrgb32(pixels + first + line * width, (end - column) * 8, format565,
                             picture + first + line * width);
      column = end;
    }
  }
}

bool PictureSurface::TakeNewPicture() {
  if (!pixels_ || (waiting_.load(std::memory_order_acquire) & kNewer) == 0) return false;
  // The picture handed back may be written at once: the server must be done reading it.
  if (shared_) shared_->Settle();
  shown_ = waiting_.exchange(shown_, std::memory_order_acq_rel) & 3;
  shown_image_ = images_[shown_];
  return true;
}

}  // namespace tarvel
