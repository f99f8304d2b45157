// The bytes of an HDF5 file as the particle-file reader checks them itself,
// where the HDF5 library would trust a damaged or crafted file: the
// superblock's sizes and addresses, object headers, and the global heap
// collections that variable-length text is kept in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace quillet::hdf5 {

// Little-endian unsigned value of `size` bytes (HDF5's lengths and offsets);
// beyond 8 bytes the upper ones must be 0, else the largest value stands.
std::uint64_t little_endian(const unsigned char* p, std::size_t size);

// The file's bytes, mapped read-only, and what its superblock says of them.
// The reader looks at them itself where the library would trust them.
class file_bytes {
public:
    explicit file_bytes(const std::string& path);
    ~file_bytes();
    file_bytes(const file_bytes&) = delete;
    file_bytes& operator=(const file_bytes&) = delete;

    const unsigned char* data() const { return b_; }
    std::size_t size() const { return size_; }
    int superblock_version() const { return version_; }
    std::size_t offsets() const { return offsets_; }
    std::size_t lengths() const { return lengths_; }
    std::uint64_t base() const { return base_; }
    std::uint64_t root() const { return root_; }
    // True when the file address `address` holds a checksummed (version 2) object header.
    bool object_header_at(std::uint64_t address) const {
        const std::uint64_t at = base_ + address;
        return at >= base_ && at <= size_ && size_ - at >= 4 && std::memcmp(b_ + at, "OHDR", 4) == 0;
    }

private:
    std::size_t byte(std::size_t at) const { return at < size_ ? b_[at] : 0; }
    std::uint64_t value(std::size_t at, std::size_t size) const {
        return size > 0 && at + size <= size_ ? little_endian(b_ + at, size) : 0;
    }
    const unsigned char* b_ = nullptr;
    std::size_t size_ = 0;
    int version_ = -1;
    std::size_t offsets_ = 0, lengths_ = 0;
    std::uint64_t base_ = 0, root_ = 0;
};

// HDF5 1.10 keeps variable-length text (h5py's str attributes, the title)
// in global heap collections and trusts what it finds there: it walks a
// collection's objects for ever when one has size 0, runs past a collection
// whose objects overrun it, and follows a reference to an object that is
// not there, or copies an object longer than the text into it, without a
// check. Before such a title is read, the file's bytes are checked as the
// library will use them: each attribute message named "title" with
// variable-length text must refer to a collection ("GCOL", version 1) that
// can be walked to its end, and to an object of it of the text's length.
// The first fault is described ("" when there is none).
std::string unsafe_title_heap(const file_bytes& bytes);

}  // namespace quillet::hdf5
