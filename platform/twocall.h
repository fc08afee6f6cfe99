// The two-call query: ask for the size of an answer, check it against the
// caller's bound, allocate a zero-filled block and ask again into it.  The
// caller learns where it ended and writes its own trace lines.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/win32.h"

// A zero-filled heap block, released with free.  Asked for more than it holds
// it is replaced; asked for no more it is zeroed again and reused, so a walk
// reading one value per member allocates only when a longer value comes.
class CQueryBlock {
public:
    CQueryBlock() = default;
    CQueryBlock(const CQueryBlock &) = delete;
    CQueryBlock &operator=(const CQueryBlock &) = delete;
    ~CQueryBlock() { std::free(m_block); }

    // The block, `bytes` long and all zero; null, holding nothing, on failure.
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

// Block sizes for a reported size: characters and a NUL, or the bytes as they are.
inline size_t CharsAndNul(DWORD chars) { return (static_cast<size_t>(chars) + 1) * sizeof(WCHAR); }
inline size_t ExactBytes(DWORD bytes) { return bytes; }

// Asks `askSize(&size)`, refuses a size outside [least, most], zeroes
// `blockBytes(size)` bytes of `block` and asks `askInto(size)` to fill them.
template <typename AskSize, typename AskInto>
TwoCall QueryTwice(CQueryBlock &block, AskSize &&askSize, DWORD least, DWORD most, size_t (*blockBytes)(DWORD),
                   AskInto &&askInto) {
    DWORD size = 0;
    const SizeAnswer answer = askSize(&size);
    if (answer != SizeAnswer::Size) return answer == SizeAnswer::Nothing ? TwoCall::Nothing : TwoCall::SizeFailed;
    if (size < least || size > most) return TwoCall::SizeRefused;
    if (block.Zeroed(blockBytes(size)) == nullptr) return TwoCall::NoMemory;
    return askInto(size) ? TwoCall::Answered : TwoCall::Failed;
}
