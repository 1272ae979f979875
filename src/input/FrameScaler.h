#pragma once

#include "core/FrameToken.h"
#include "core/LibavPtr.h"

#include <atomic>
#include <cstdint>
#include <memory>

class FramePool;

// Converts decoded or captured pictures into RGBA tokens of the pool's size. One scaler is
// kept across pictures and rebuilt only when the input's size or format changes.
//
// Threads: one worker.
class FrameScaler {
public:
    // A decoded picture, read in its own colour matrix and range. `mayAllocate`: the pool may
    // grow for it (a paced file); otherwise a busy pool drops it (a live input). With a
    // `thumbnailPool`, a picture of the pool's shape that ThumbnailConverter takes comes out at a
    // quarter of its own size from that pool instead.
    FrameTokenPtr scale(FramePool &pool, const AVFrame *picture, int64_t tsUs, bool mayAllocate,
                        FramePool *thumbnailPool = nullptr);
    // Captured BGRX rows. Alpha comes from the scaler, so whatever the capture left in the
    // fourth byte never makes a picture transparent. A busy pool drops screen pictures.
    FrameTokenPtr scaleBgrx(FramePool &pool, const uint8_t *pixels, int stride, int width,
                            int height, int64_t tsUs);

    // Hands `token`, just converted whole from `picture` by scale(), the picture itself
    // (FrameToken::source) when the encoder may take its planes as they are: 8-bit 4:2:0
    // planar in limited range at the token's size, in the BT.601 or BT.709 matrix, and no
    // more than kMaxSourcesHeld of this scaler's pictures are held.
    void keepSource(FrameToken &token, const AVFrame *picture);
    // Whether scale() would give this picture as a thumbnail from `thumbnailPool`.
    static bool fitsThumbnail(const FramePool &pool, const FramePool &thumbnailPool,
                              const AVFrame *picture);

private:
    // False when no scaler can be built for this conversion.
    bool ensure(int width, int height, AVPixelFormat format, int outWidth, int outHeight);
    FrameTokenPtr convert(FramePool &pool, bool mayAllocate, const uint8_t *const src[],
                          const int srcStride[], int height, int64_t tsUs);

    // One frame being encoded, one waiting, one on screen.
    static constexpr int kMaxSourcesHeld = 3;

    libav::Sws sws_;
    // Pictures handed to tokens and not yet let go (any thread lets go).
    std::shared_ptr<std::atomic<int>> sourcesHeld_ = std::make_shared<std::atomic<int>>(0);
    // What the scaler was built for; a new one starts with the default colour matrix.
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
    int outWidth_ = 0;
    int outHeight_ = 0;
    int colourSpace_ = -1; // what the scaler's colour matrix was set for
    int colourRange_ = -1;
};
