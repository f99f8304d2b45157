#include "field/hdf5_file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

namespace quillet::hdf5 {

// Little-endian unsigned value of `size` bytes (HDF5's lengths and offsets);
// beyond 8 bytes the upper ones must be 0, else the largest value stands.
std::uint64_t little_endian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < size; ++k) {
        if (k >= 8) {
            if (p[k] != 0) return std::numeric_limits<std::uint64_t>::max();
            continue;
        }
        v |= std::uint64_t(p[k]) << (8 * k);
    }
    return v;
}

file_bytes::file_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        void* map = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) b_ = static_cast<const unsigned char*>(map), size_ = std::size_t(st.st_size);
    }
    ::close(fd);
    if (size_ < 16) return;
    // Superblock versions 0 and 1 state the sizes of offsets and lengths
    // in bytes 13 and 14 and the base address at 24; versions 2 and 3 in
    // bytes 9 and 10, the base address at 12 and the root group's object
    // header address three offsets further.
    version_ = b_[8];
    const bool old = version_ <= 1;
    offsets_ = old ? byte(13) : byte(9);
    lengths_ = old ? byte(14) : byte(10);
    const std::size_t base_at = old ? 24 : 12;
    base_ = value(base_at, offsets_);
    if (!old) root_ = value(base_at + 3 * offsets_, offsets_);
}

file_bytes::~file_bytes() {
    if (b_) ::munmap(const_cast<unsigned char*>(b_), size_);
}

std::string unsafe_title_heap(const file_bytes& bytes) {
    const unsigned char* b = bytes.data();
    const std::size_t file_size = bytes.size(), offsets = bytes.offsets(), lengths = bytes.lengths();
    if (!b || offsets == 0 || lengths == 0 || offsets > 8 || lengths > 8) return "";
    const std::size_t header = 8 + lengths, object_header = 8 + lengths;

    // Object `idx` of the collection at byte `at`, walked as the library
    // walks it: its size, or what stops the walk ("which ...").
    auto heap_object = [&](std::uint64_t at, unsigned idx, std::uint64_t& found_size) -> std::string {
        if (at > file_size || file_size - at < header || std::memcmp(b + at, "GCOL\x01", 5) != 0)
            return "which is not there";
        const std::uint64_t size = little_endian(b + at + 8, lengths);
        if (size < header || size > file_size - at)
            return "which states " + std::to_string(size) + " bytes, more than the file holds after it";
        const std::size_t end = std::size_t(at + size);
        bool there = false;
        for (std::size_t p = std::size_t(at) + header; p < end;) {
            if (p + object_header > end) break;  // the free space at the end
            const unsigned k = b[p] | unsigned(b[p + 1]) << 8;
            const std::uint64_t object = little_endian(b + p + 8, lengths);
            const std::uint64_t need =
                k > 0 ? (object > size ? object : object_header + (object + 7) / 8 * 8) : object;
            if (need == 0 || need > end - p)
                return "which has an object of " + std::to_string(object) + " bytes at byte " + std::to_string(p) +
                       (need == 0 ? "" : ", past its end at byte " + std::to_string(end));
            if (k == idx && k > 0) there = true, found_size = object;
            p += std::size_t(need);
        }
        return there ? "" : "which has no such object";
    };

    // Attribute messages named "title" (versions 1 to 3: version, flags, name
    // size 6, datatype and dataspace sizes, [encoding], name, datatype,
    // dataspace, value), of variable-length text (datatype class 9, type 1):
    // the value is the text's length and its heap reference.
    bool found = false;
    const auto pad8 = [](std::size_t n) { return (n + 7) / 8 * 8; };
    for (std::size_t at = 0; at + 6 <= file_size; ++at) {
        const void* hit = ::memmem(b + at, file_size - at, "title", 6);
        if (!hit) break;
        at = std::size_t(static_cast<const unsigned char*>(hit) - b);
        for (int version = 1; version <= 3; ++version) {
            const std::size_t name_at = version == 3 ? 9 : 8;
            if (at < name_at) continue;
            const unsigned char* m = b + at - name_at;
            if (m[0] != version || m[2] != 6 || m[3] != 0) continue;
            const std::size_t datatype = m[4] | std::size_t(m[5]) << 8, dataspace = m[6] | std::size_t(m[7]) << 8;
            const std::size_t type_at = at + (version == 1 ? pad8(6) : 6);
            const std::size_t value_at =
                type_at + (version == 1 ? pad8(datatype) + pad8(dataspace) : datatype + dataspace);
            if (datatype < 8 || type_at + 2 > file_size || (b[type_at] & 0x0f) != 9 || (b[type_at + 1] & 0x0f) != 1)
                continue;
            found = true;
            const std::string value = "its value (at byte " + std::to_string(value_at) + ")";
            if (value_at + 8 + offsets > file_size) return value + " lies past the end of the file";
            const std::uint64_t length = little_endian(b + value_at, 4);
            const std::uint64_t heap = bytes.base() + little_endian(b + value_at + 4, offsets);
            const unsigned idx = unsigned(little_endian(b + value_at + 4 + offsets, 4));
            std::uint64_t object = 0;
            const std::string fault = heap_object(heap, idx, object);
            const std::string refers = value + " refers to object " + std::to_string(idx) +
                                       " of the global heap collection at byte " + std::to_string(heap) + ", ";
            if (!fault.empty()) return refers + fault;
            if (object != length)
                return refers + "of " + std::to_string(object) + " bytes for text of " + std::to_string(length);
        }
    }
    return found ? "" : "its value is not where an attribute message keeps it";
}

}  // namespace quillet::hdf5
