// Result files are written completely or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "support/scratch_dir.h"

using namespace quillet;

namespace {
std::string content(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
std::size_t entries(const std::string& dir) {
    std::size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
    return n;
}
}  // namespace

TEST(ResultFile, CommitReplacesTheNamedFileWithTheRecords) {
    test_support::scratch_dir dir;
    dir.write("out.w", "old\n");
    {
        result_file f(dir.path() + "/out.w");
        put_record(f.stream(), 7.0, std::int32_t(3));
        EXPECT_EQ(content(dir.path() + "/out.w"), "old\n");  // untouched until the commit
        f.commit();
    }
    EXPECT_EQ(content(dir.path() + "/out.w"), "7.0 3\n");
    EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(ResultFile, AFileDroppedWithoutCommitLeavesNothing) {
    test_support::scratch_dir dir;
    {
        result_file f(dir.path() + "/out.w");
        put_record(f.stream(), 1.0);
    }
    EXPECT_FALSE(dir.exists("out.w"));
    EXPECT_EQ(entries(dir.path()), 0u);
}

TEST(ResultFile, AFolderThatDoesNotExistIsAnOutputErrorNamingTheFile) {
    try {
        result_file f("/nonexistent/quillet/out.w");
        FAIL() << "created a file in a missing folder";
    } catch (const output_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/quillet/out.w"), std::string::npos);
    }
}

TEST(ResultFile, AStreamErrorMakesTheCommitFailAndLeavesNoFile) {
    test_support::scratch_dir dir;
    result_file f(dir.path() + "/out.w");
    put_record(f.stream(), 1.0);
    // Reading from the write-only stream sets its error indicator, as a
    // failed write would.
    (void)std::fgetc(f.stream());
    EXPECT_THROW(f.commit(), output_error);
    EXPECT_FALSE(dir.exists("out.w"));
    EXPECT_EQ(entries(dir.path()), 0u);
}
