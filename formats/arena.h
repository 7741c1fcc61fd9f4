// A chunked bump allocator: memory comes from linked chunks of a fixed size and is released
// only as a whole. Used for the volume reader's directory tree and for report documents, where
// thousands of small records live exactly as long as their owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vostrale {

class NodeArena {
  public:
    explicit NodeArena(size_t chunkSize) : m_chunkSize(chunkSize) {}
    ~NodeArena() { Release(); }
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;

    // Zero-filled memory aligned to 16 bytes, or null when the request does not fit in a chunk
    // or no chunk can be had. A request larger than the room left opens a new chunk.
    void* Allocate(size_t size) {
        size = (size + kAlign - 1) & ~(kAlign - 1);
        if (size == 0 || m_chunkSize <= kHeader || size >= m_chunkSize - kHeader)
            return nullptr;
        if (m_chunk == nullptr || m_chunkSize - m_used < size) {
            auto* chunk = static_cast<Chunk*>(std::calloc(1, m_chunkSize));
            if (chunk == nullptr)
                return nullptr;
            chunk->next = m_chunk;
            m_chunk = chunk;
            m_used = kHeader;
            ++m_chunkCount;
        }
        void* p = reinterpret_cast<uint8_t*>(m_chunk) + m_used;
        m_used += size;
        return p;
    }

    template <typename T> T* New() { return static_cast<T*>(Allocate(sizeof(T))); }

    // Copies `length` bytes and a terminating zero into the arena.
    char* CopyString(const char* text, size_t length) {
        auto* p = static_cast<char*>(Allocate(length + 1));
        if (p != nullptr && length != 0)
            std::memcpy(p, text, length);
        return p;
    }

    void Release() {
        while (m_chunk != nullptr) {
            Chunk* next = m_chunk->next;
            std::free(m_chunk);
            m_chunk = next;
        }
        m_used = 0;
        m_chunkCount = 0;
    }

    size_t ChunkCount() const { return m_chunkCount; }
    size_t ChunkSize() const { return m_chunkSize; }

  private:
    struct Chunk {
        Chunk* next;
    };
    static constexpr size_t kAlign = 16;
    static constexpr size_t kHeader = (sizeof(Chunk) + kAlign - 1) & ~(kAlign - 1);

    size_t m_chunkSize;
    Chunk* m_chunk = nullptr; // newest chunk first
    size_t m_used = 0;        // bytes taken in the newest chunk, header included
    size_t m_chunkCount = 0;
};

} // namespace vostrale
