#include "input/FrameScaler.h"

#include "core/FramePool.h"
#include "input/ThumbnailConverter.h"

namespace {

// A token for width x height pixels, its buffer grown when it is too small.
FrameTokenPtr takeToken(FramePool &pool, bool mayAllocate, int width, int height) {
    FrameTokenPtr token = mayAllocate ? pool.acquire() : pool.tryAcquire();
    if (!token)
        return {};
    token->valid = true;
    token->width = width;
    token->height = height;
    token->stride = width * 4;
    const qsizetype bytes = qsizetype(token->stride) * height;
    if (token->data.size() < bytes)
        token->data.resize(bytes);
    return token;
}

} // namespace

bool FrameScaler::ensure(int width, int height, AVPixelFormat format, int outWidth, int outHeight) {
    // sws_getCachedContext frees the context it is given whenever it does not return it.
    sws_.reset(sws_getCachedContext(sws_.release(), width, height, format, outWidth, outHeight,
                                    AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_)
        return false;
    if (width != width_ || height != height_ || format != format_ || outWidth != outWidth_ ||
        outHeight != outHeight_) {
        width_ = width;
        height_ = height;
        format_ = format;
        outWidth_ = outWidth;
        outHeight_ = outHeight;
        colourSpace_ = colourRange_ = -1;
    }
    return true;
}

void FrameScaler::keepSource(FrameToken &token, const AVFrame *picture) {
    if (picture->format != AV_PIX_FMT_YUV420P || picture->width != token.width ||
        picture->height != token.height || picture->color_range == AVCOL_RANGE_JPEG)
        return;
    // The matrix scale() read it in.
    const ThumbnailConverter::Matrix matrix = ThumbnailConverter::matrixOf(picture);
    if (matrix == ThumbnailConverter::Matrix::Other)
        return;
    // Each picture held makes the decoder allocate another: while the encoder lags, frames
    // go without and are converted whole.
    if (sourcesHeld_->load(std::memory_order_relaxed) >= kMaxSourcesHeld)
        return;
    AVFrame *copy = av_frame_clone(picture); // references, not pixels
    if (!copy)
        return;
    sourcesHeld_->fetch_add(1, std::memory_order_relaxed);
    token.source = std::shared_ptr<const AVFrame>(copy, [held = sourcesHeld_](AVFrame *f) {
        av_frame_free(&f);
        held->fetch_sub(1, std::memory_order_relaxed);
    });
    token.sourceBt709 = matrix == ThumbnailConverter::Matrix::Bt709;
}

bool FrameScaler::fitsThumbnail(const FramePool &pool, const FramePool &thumbnailPool,
                                const AVFrame *picture) {
    // The program's shape, or the thumbnail would not show what going on air shows.
    return ThumbnailConverter::supports(picture) && picture->width / 4 <= thumbnailPool.width() &&
           picture->height / 4 <= thumbnailPool.height() &&
           int64_t(picture->width) * pool.height() == int64_t(picture->height) * pool.width();
}

FrameTokenPtr FrameScaler::scale(FramePool &pool, const AVFrame *picture, int64_t tsUs,
                                 bool mayAllocate, FramePool *thumbnailPool) {
    if (thumbnailPool && fitsThumbnail(pool, *thumbnailPool, picture)) {
        FrameTokenPtr token =
            takeToken(*thumbnailPool, mayAllocate, picture->width / 4, picture->height / 4);
        if (!token)
            return {};
        // data() detaches a shared buffer
        ThumbnailConverter::convert(picture, reinterpret_cast<uint8_t *>(token->data.data()),
                                    token->stride);
        token->ptsUs = tsUs;
        return token;
    }
    if (!ensure(picture->width, picture->height, AVPixelFormat(picture->format), pool.width(),
                pool.height()))
        return {};
    // The picture's own colour matrix and range (HD material is BT.709), as the scaler
    // would otherwise assume BT.601 and limited range.
    if (picture->colorspace != colourSpace_ || picture->color_range != colourRange_) {
        colourSpace_ = picture->colorspace;
        colourRange_ = picture->color_range;
        const int matrix = colourSpace_ != AVCOL_SPC_UNSPECIFIED ? colourSpace_
                           : picture->height >= 720              ? SWS_CS_ITU709
                                                                 : SWS_CS_ITU601;
        sws_setColorspaceDetails(sws_.get(), sws_getCoefficients(matrix),
                                 colourRange_ == AVCOL_RANGE_JPEG,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    return convert(pool, mayAllocate, picture->data, picture->linesize, picture->height, tsUs);
}

FrameTokenPtr FrameScaler::scaleBgrx(FramePool &pool, const uint8_t *pixels, int stride, int width,
                                     int height, int64_t tsUs) {
    if (!ensure(width, height, AV_PIX_FMT_BGR0, pool.width(), pool.height()))
        return {};
    const uint8_t *src[4] = {pixels, nullptr, nullptr, nullptr};
    const int srcStride[4] = {stride, 0, 0, 0};
    return convert(pool, false, src, srcStride, height, tsUs);
}

FrameTokenPtr FrameScaler::convert(FramePool &pool, bool mayAllocate, const uint8_t *const src[],
                                   const int srcStride[], int height, int64_t tsUs) {
    FrameTokenPtr token = takeToken(pool, mayAllocate, pool.width(), pool.height());
    if (!token)
        return {};
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(token->data.data()), nullptr, nullptr,
                       nullptr}; // data() detaches a shared buffer
    const int dstStride[4] = {token->stride, 0, 0, 0};
    sws_scale(sws_.get(), src, srcStride, 0, height, dst, dstStride);
    token->ptsUs = tsUs;
    return token;
}
