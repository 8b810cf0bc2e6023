// What every fuzz target shares: a check that stops the run with a message, and a byte reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quillmar::fuzz {

// A broken invariant is a finding: say which, and end the run the way a crash would.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Reads fields off the fuzz input; past its end every field reads as zero.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint16_t word() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }
    std::string text(std::size_t length) {
        const std::size_t taken = std::min(length, size - at);
        std::string out(reinterpret_cast<const char*>(data + at), taken);
        at += taken;
        return out;
    }
    std::size_t left() const { return size - at; }

  private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

}  // namespace quillmar::fuzz
