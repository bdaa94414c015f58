#pragma once
// Shared pieces of the hub client tests: deterministic file bodies, their
// digests, and reading a download's states until it ends.

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vortilcore/hub/Downloader.hpp"

namespace hubtest {

using State = vortil::Downloader::DownloadState;

// Bytes that differ at every offset, so a misplaced or repeated block shows.
inline std::string body(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

inline std::string sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

// The states of one stream up to and including the first final one; stops
// after `limit` without one.
inline std::vector<State> untilFinal(platform::AsyncStream<State>& stream,
                                     std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::vector<State> states;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto s = stream.next(std::chrono::milliseconds(200));
        if (!s) {
            if (stream.isFinished()) break;
            continue;
        }
        states.push_back(*s);
        if (s->isFinal()) break;
    }
    return states;
}

// The exception a failed state carries, as type E; nullopt for another type.
template <class E>
std::optional<E> errorAs(const State& s) {
    if (s.kind() != State::Kind::failed || !s.error()) return std::nullopt;
    try {
        std::rethrow_exception(s.error());
    } catch (const E& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace hubtest
