#include "verbolin/listening/ArchiveDirectoryRequest.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string_view>

#include "platform/system/CancellationError.hpp"
#include "platform/system/HttpClient.hpp"
#include "vortilcore/hub/Etag.hpp"

namespace verbolin {
namespace {

using platform::ZipExtractor;

constexpr std::chrono::milliseconds kTimeout{60000};
// A pack's directory (a few dozen entries) takes a few kilobytes; one this
// far beyond the end record's reach is no pack's, and fetching it twice
// (here and with the archive) is not worth it.
constexpr std::uint64_t kMostFetchedAhead = std::uint64_t{4} << 20;
// The end record, Zip64's record, the directory.
constexpr int kMostRounds = 3;

// A piece the server did not give as asked: its bytes cannot be placed.
class NotAsAsked : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

void checkPiece(const platform::HttpResponse& head, const RemoteArchive& archive,
                std::uint64_t first, std::uint64_t last) {
    if (head.status != 206)
        throw NotAsAsked("a ranged request was answered with HTTP " + std::to_string(head.status));
    const std::string said = head.headers.value("Content-Range").value_or("none");
    const auto range = platform::parseContentRange(said);
    if (!range || std::uint64_t(range->first) != first || std::uint64_t(range->last) != last ||
        range->total != archive.size)
        throw NotAsAsked(
            "a ranged request was answered with another piece (Content-Range: " + said + ")");
    const auto length = platform::contentLength(head.headers);
    if (length && std::uint64_t(*length) != last - first + 1)
        throw NotAsAsked("a piece came with Content-Length " + std::to_string(*length));
    const auto etag = vortil::normalizeEtag(head.headers.value("ETag"));
    const auto modified = head.headers.value("Last-Modified");
    if ((archive.etag && etag && *etag != *archive.etag) ||
        (archive.lastModified && modified &&
         !vortil::sameLastModified(*modified, *archive.lastModified)))
        throw NotAsAsked("a piece of another archive came");
}

// The archive's bytes first..last, exactly.
std::string fetchPiece(const RemoteArchive& archive, std::uint64_t first, std::uint64_t last,
                       std::stop_token stop) {
    platform::HttpClient client;
    std::stop_callback cancelOnStop(stop, [&client] { client.cancel(); });
    platform::HttpRequest get(archive.url);
    get.timeout = kTimeout;
    get.setHeader("Range", "bytes=" + std::to_string(first) + "-" + std::to_string(last));
    // Another archive in its place since the HEAD comes whole (200): refused.
    if (archive.etag)
        get.setHeader("If-Range", "\"" + *archive.etag + "\"");
    else if (archive.lastModified)
        get.setHeader("If-Range", *archive.lastModified);
    const std::uint64_t length = last - first + 1;
    std::string body;
    try {
        client.send(
            get,
            [&](std::string_view chunk) {
                if (chunk.size() > length - body.size())
                    throw NotAsAsked("a piece came with more bytes than asked");
                body.append(chunk);
            },
            [&](const platform::HttpResponse& head) { checkPiece(head, archive, first, last); });
    } catch (const platform::HttpError& e) {
        if (stop.stop_requested()) throw platform::CancellationError();
        throw NotAsAsked(std::string("a ranged request failed: ") + e.what());
    }
    if (body.size() != length)
        throw NotAsAsked("a piece came with " + std::to_string(body.size()) + " of the " +
                         std::to_string(length) + " bytes asked");
    return body;
}

}  // namespace

ArchiveDirectoryAnswer requestArchiveDirectory(const RemoteArchive& archive,
                                               const ZipExtractor::Limits& limits,
                                               std::stop_token stop) {
    if (archive.size <= 0) return {std::nullopt, "the server does not say the archive's size"};
    const auto size = std::uint64_t(archive.size);
    std::string bytes;  // the archive's own, from `offset` to its end
    std::uint64_t offset = size;
    std::uint64_t wanted = size - std::min(size, ZipExtractor::kEndReach);
    try {
        for (int round = 0; wanted < offset; ++round) {
            if (round == kMostRounds || size - wanted > kMostFetchedAhead)
                return {std::nullopt, "the archive's directory is too large to fetch ahead"};
            bytes.insert(0, fetchPiece(archive, wanted, offset - 1, stop));
            offset = wanted;
            wanted = ZipExtractor::directoryStart({size, offset, bytes});
        }
    } catch (const NotAsAsked& e) {
        return {std::nullopt, e.what()};
    }
    return {ZipExtractor::declaredContents({size, offset, bytes}, limits), {}};
}

}  // namespace verbolin
