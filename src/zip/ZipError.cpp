#include "zip/ZipError.hpp"

#include <array>

namespace velquor::detail {

namespace {

std::string name(ArchiveError error) {
    static constexpr std::array<const char*, 9> names = {"unreadableArchive",
                                                         "unwritableArchive",
                                                         "invalidEntryPath",
                                                         "invalidCompressionMethod",
                                                         "invalidStartOfCentralDirectoryOffset",
                                                         "missingEndOfCentralDirectoryRecord",
                                                         "cancelledOperation",
                                                         "tooManyEntries",
                                                         "entryTooLarge"};
    return std::string("Archive.ArchiveError.") + names.at(static_cast<std::size_t>(error));
}

std::string name(DataError error) {
    return error == DataError::unreadableFile ? "Data.DataError.unreadableFile"
                                              : "Data.DataError.unwritableFile";
}

std::string name(CompressionError error) {
    return error == CompressionError::invalidStream ? "Data.CompressionError.invalidStream"
                                                    : "Data.CompressionError.corruptedData";
}

std::string name(const ProviderError& error) {
    return error.message;
}

} // namespace

std::string describe(const ZipError& error) {
    return std::visit([](const auto& e) { return name(e); }, error);
}

} // namespace velquor::detail
