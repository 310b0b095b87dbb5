#include "log/ZipLog.hpp"

#include "util/Utf8.hpp"
#include "zip/Archive.hpp"

#include <chrono>

namespace velquor::detail {

namespace {
constexpr std::size_t kChunkSize = 16384;
}

std::optional<std::vector<std::uint8_t>> ZipLog::zip(const std::string& text) {
    auto archive = Archive::make({}, Archive::AccessMode::create);
    if (!archive || !isValidUtf8(text))
        return std::nullopt;
    const auto provider = [&text](std::uint64_t position,
                                  std::size_t size) -> Result<std::vector<std::uint8_t>, ZipError> {
        const auto from = text.begin() + static_cast<std::ptrdiff_t>(position);
        return std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(size));
    };
    const auto added = archive->addEntry("velquorv2.log", Archive::EntryType::file, text.size(),
                                         std::chrono::system_clock::now(), std::nullopt,
                                         Archive::CompressionMethod::deflate, kChunkSize, provider);
    if (!added)
        return std::nullopt;
    return archive->data();
}

} // namespace velquor::detail
