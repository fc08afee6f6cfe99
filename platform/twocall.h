// The two-call query: ask the system how large an answer is, check that size
// against what the caller believes, allocate a zero-filled block for it and
// ask again into the block.  Each step's outcome goes back to the caller,
// who writes its own trace lines and keeps its own bound.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/win32.h"

// A zero-filled heap block, released with free.  Asked for more bytes than it
// holds, it replaces itself; asked for no more, it is reused, zeroed again,
// so a walk that reads one value per member allocates only when a longer
// value comes.
class CQueryBlock {
public:
    CQueryBlock() = default;
    CQueryBlock(const CQueryBlock &) = delete;
    CQueryBlock &operator=(const CQueryBlock &) = delete;
    ~CQueryBlock() { std::free(m_block); }

    // The block, `bytes` long and all zero; null, holding nothing, when it
    // cannot be allocated.
    void *Zeroed(size_t bytes) {
        if (m_block != nullptr && bytes <= m_capacity) {
            m_bytes = bytes;
            return std::memset(m_block, 0, bytes);
        }
        std::free(m_block);
        m_block = std::calloc(1, bytes);
        m_capacity = m_bytes = m_block != nullptr ? bytes : 0;
        return m_block;
    }
    template <typename T> T *As() const { return static_cast<T *>(m_block); }
    // The size last asked of Zeroed.
    size_t Bytes() const { return m_bytes; }
    // Hands the block over; the receiver releases it with free.
    template <typename T> T *Release() {
        m_capacity = m_bytes = 0;
        return static_cast<T *>(std::exchange(m_block, nullptr));
    }

private:
    void *m_block = nullptr;
    size_t m_capacity = 0;
    size_t m_bytes = 0;
};

// What the first call of a two-call query answered.
enum class SizeAnswer {
    Size,     // it reported the size the answer needs
    Nothing,  // it needed no block: there is nothing more to ask
    Failed,   // it failed
};

// Where a two-call query ended.
enum class TwoCall {
    Nothing,      // the size call needed no block
    SizeFailed,   // the size call failed
    SizeRefused,  // the size reported lies outside the caller's bound
    NoMemory,     // the block could not be allocated
    Failed,       // the call into the block failed
    Answered,     // the block holds the answer
};

// Block sizes for a reported size.
// A count of characters, with room for a terminating NUL.
inline size_t CharsAndNul(DWORD chars) { return (static_cast<size_t>(chars) + 1) * sizeof(WCHAR); }
// A count of bytes, taken as it is.
inline size_t ExactBytes(DWORD bytes) { return bytes; }

// Asks `askSize(&size)` for the size, refuses a size below `least` or above
// `most`, makes `block` a zero-filled block of `blockBytes(size)` bytes and
// asks `askInto(size)` to fill it (true when it did).  The block is left to
// the caller whatever the outcome.
template <typename AskSize, typename AskInto>
TwoCall QueryTwice(CQueryBlock &block, AskSize &&askSize, DWORD least, DWORD most, size_t (*blockBytes)(DWORD),
                   AskInto &&askInto) {
    DWORD size = 0;
    switch (askSize(&size)) {
    case SizeAnswer::Nothing:
        return TwoCall::Nothing;
    case SizeAnswer::Failed:
        return TwoCall::SizeFailed;
    case SizeAnswer::Size:
        break;
    }
    if (size < least || size > most) return TwoCall::SizeRefused;
    if (block.Zeroed(blockBytes(size)) == nullptr) return TwoCall::NoMemory;
    return askInto(size) ? TwoCall::Answered : TwoCall::Failed;
}
