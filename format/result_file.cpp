#include "format/result_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/run_error.h"

namespace quillet {

result_file::result_file(std::string name, result_file_options options)
    : name_(std::move(name)), sync_(options.sync) {
    if (options.discard) {
        f_ = std::fopen("/dev/null", "w");
        if (!f_) throw output_error("cannot open /dev/null for the output file " + name_ + ": " + std::strerror(errno));
        return;
    }
    std::string pattern = name_ + ".partXXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw output_error("cannot create the output file " + name_ + ": " + std::strerror(errno));
    temp_ = pattern;
    // Locked while open, as a state file's temporary is: remove_left_temporaries
    // (format/state_file.h) leaves it alone while this process lives.
    ::flock(fd, LOCK_EX);
    f_ = ::fdopen(fd, "w");
    if (!f_) {
        ::close(fd);
        std::remove(temp_.c_str());
        throw output_error("cannot open the output file " + name_ + ": " + std::strerror(errno));
    }
    // mkstemp creates the file for its owner only; results are ordinary files.
    ::fchmod(fd, 0644 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());
}

result_file::~result_file() {
    if (f_) {
        std::fclose(f_);
        if (!temp_.empty()) std::remove(temp_.c_str());
    }
}

void result_file::commit() {
    bool ok = std::fflush(f_) == 0 && !std::ferror(f_);
    if (ok && sync_ && !temp_.empty()) ok = ::fsync(::fileno(f_)) == 0;
    int err = errno;
    ok = (std::fclose(f_) == 0) && ok;
    f_ = nullptr;
    if (temp_.empty()) return;  // discarded
    if (!ok) {
        std::remove(temp_.c_str());
        throw output_error("cannot write the output file " + name_ + ": " + std::strerror(err ? err : EIO));
    }
    if (std::rename(temp_.c_str(), name_.c_str()) != 0) {
        err = errno;
        std::remove(temp_.c_str());
        throw output_error("cannot replace the output file " + name_ + ": " + std::strerror(err));
    }
    if (sync_) {
        const std::size_t slash = name_.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name_.substr(0, slash);
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
}

}  // namespace quillet
