#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace retouch {

// A picture as W x H 32-bit words: bytes blue, green, red, reserved in memory
// order, the bottom row first. Pixel (x, y), y from the top, is word
// (H - 1 - y) * W + x.
class PixelBuffer {
public:
    PixelBuffer() = default;
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;
    PixelBuffer(PixelBuffer&&) noexcept = default;
    PixelBuffer& operator=(PixelBuffer&&) noexcept = default;

    // Discards the contents and makes room for n words. The words are left
    // uninitialised: every caller overwrites them all, and touching 200 MB
    // twice is what makes a retouch of a large photo feel slow.
    bool Redim(size_t n)
    {
        words_.reset();
        size_ = 0;
        if (n == 0)
            return true;
        words_.reset(new (std::nothrow) uint32_t[n]);
        if (!words_)
            return false;
        size_ = n;
        return true;
    }
    void ZeroFill()
    {
        for (size_t i = 0; i < size_; ++i)
            words_[i] = 0;
    }
    void Release()
    {
        words_.reset();
        size_ = 0;
    }

    size_t size() const { return size_; }
    uint32_t* data() { return words_.get(); }
    const uint32_t* data() const { return words_.get(); }
    uint32_t& operator[](size_t i) { return words_[i]; }
    uint32_t operator[](size_t i) const { return words_[i]; }

private:
    std::unique_ptr<uint32_t[]> words_;
    size_t size_ = 0;
};

inline size_t PixelIndex(int32_t x, int32_t y, int32_t W, int32_t H)
{
    return static_cast<size_t>(H - 1 - y) * static_cast<size_t>(W) + static_cast<size_t>(x);
}

} // namespace retouch
