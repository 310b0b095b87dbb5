// docs/ERRORS.md, the hosts' error reference, names exactly the codes the error builder makes.
#include "flow/FlowErrors.hpp"
#include "remote/ErrorBuilder.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace velquor::detail {
namespace {

// The trimmed cells of the rows of the section `heading` whose first cell is a number.
std::vector<std::vector<std::string>> rows(const std::string& heading) {
    std::ifstream file(VELQUOR_SOURCE_DIR "/docs/ERRORS.md");
    std::vector<std::vector<std::string>> found;
    bool inSection = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## " + heading;
        else if (inSection && std::regex_search(line, std::regex("^\\| [0-9]"))) {
            const std::regex cell(" *([^|]*[^| ]) *\\|");
            auto& cells = found.emplace_back();
            for (std::sregex_iterator it(line.begin() + 1, line.end(), cell), end; it != end; ++it)
                cells.push_back((*it)[1]);
        }
    }
    return found;
}

TEST(ErrorsDocument, PublicTableListsExactlyTheBuildersCodesWithTheirMessages) {
    std::map<long, std::string> built;
    for (long raw = 0; raw < 20000; ++raw)
        if (auto code = errorCodeFromRawValue(raw))
            built[raw] = '"' + ErrorBuilder::build(*code, 0).localizedDescription() + '"';
    std::map<long, std::string> documented;
    for (const auto& cells : rows("Public codes"))
        EXPECT_TRUE(documented.emplace(std::stol(cells.at(0)), cells.at(2)).second) << cells[0] << " twice";
    EXPECT_EQ(documented, built);
}

TEST(ErrorsDocument, InternalCodesAreListedOnceAndPublishedAsDocumented) {
    std::set<int> seen;
    const std::regex publicCode("100[0-9][0-9]");
    for (const auto& cells : rows("Internal codes")) {
        const int code = std::stoi(cells.at(0));
        EXPECT_TRUE(seen.insert(code).second) << code << " is listed twice";
        ASSERT_LE(code, 255);
        EXPECT_EQ(cells.at(1), std::to_string(20000 + code)); // the published "internalErrorCode"
        for (std::sregex_iterator it(cells.at(2).begin(), cells[2].end(), publicCode), end; it != end; ++it)
            EXPECT_TRUE(errorCodeFromRawValue(std::stol(it->str())))
                << code << ": no public code " << it->str();
    }
    EXPECT_TRUE(seen.count(kLayerGoneInternalCode) && seen.count(kUnexpectedFailureInternalCode));
    EXPECT_GT(seen.size(), 50u); // the table was found and read
}

} // namespace
} // namespace velquor::detail
