// An output file that is written completely or not at all: the records go to
// a temporary file in the same folder, which replaces the named file only when
// commit() has closed it without error. A result_file destroyed without a
// commit (a failed run) removes its temporary file.
#pragma once

#include <cstdio>
#include <string>

namespace quillet {

// How a run's result files are written.
struct result_file_options {
    // On the helper processes of a distributed run, where only the first
    // process writes files: a result_file then writes nowhere and commits
    // nothing.
    bool discard = false;
    // When a checkpoint is kept, which the run removes once its result files
    // stand: commit() then flushes the file and, after the rename, its folder
    // to disk, so that a crash of the machine cannot take both.
    bool sync = false;
};

class result_file {
public:
    explicit result_file(std::string name, result_file_options options = {});
    ~result_file();
    result_file(const result_file&) = delete;
    result_file& operator=(const result_file&) = delete;

    std::FILE* stream() const { return f_; }
    const std::string& name() const { return name_; }
    // Closes the temporary file, checks that every write succeeded and renames
    // it to the final name; throws output_error naming the file otherwise.
    void commit();

private:
    std::string name_;
    std::string temp_;
    bool sync_ = false;
    std::FILE* f_ = nullptr;
};

}  // namespace quillet
