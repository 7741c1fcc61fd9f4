// Small SHA-256 for comparing decoded PCM with reference hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vostrale::test {

class Sha256 {
  public:
    Sha256();
    void Update(const void* data, size_t length);
    std::string HexDigest(); // finishes the hash

  private:
    void Block(const uint8_t* block);
    uint32_t m_state[8];
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
    uint64_t m_length = 0;
};

std::string Sha256Hex(const void* data, size_t length);

} // namespace vostrale::test
