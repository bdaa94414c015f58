#pragma once
// The byte-level alphabet: a fixed reversible map from the 256 byte values to
// printable characters. The ByteLevel pre-tokenizer writes the UTF-8 bytes of
// a text in it before the BPE model runs (the Whisper vocabularies are written
// in it), and the ByteLevel decoder maps back. Both tables are built once,
// thread-safely, on first use.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vortil {

// UTF-8 text of the one character standing for each byte.
const std::array<std::string, 256>& byteEncoder();
const std::unordered_map<std::string, uint8_t>& byteDecoder();

// Appends the byte-encoder characters of every byte of `bytes`, in order.
void appendByteEncoded(std::string& out, std::string_view bytes);

}  // namespace vortil
