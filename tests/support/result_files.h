// The result files of a run, found in its folder rather than named one by
// one, so that every comparison of two runs (threads, resume, merge) covers
// each file the program writes, a new one included. The escape, histogram
// and direction files (first record 7.0 or 5.0) hold the measured CPU time in
// their last record but one; it is the one part of a result file that two
// runs of the same deck do not share.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace quillet::test_support {

struct result_file {
    std::string bytes;
    int cpu_line = 0;  // 1-based line of "cpu cpu_comp"; 0: none
};

// Every regular file of `dir` for which is_result(name) holds, by name;
// temporary files (NAME.partXXXXXX) are left out.
std::map<std::string, result_file> find_result_files(const std::string& dir,
                                                     const std::function<bool(const std::string&)>& is_result);

// The file's lines without its CPU-time line.
std::string without_cpu_line(const result_file& f);

}  // namespace quillet::test_support
