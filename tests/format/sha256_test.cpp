// SHA-256 against the known answers of FIPS 180-4 (and its companion test
// vectors): the empty message, "abc", the two-block 448-bit message, and one
// million 'a'; fed whole and in uneven pieces.
#include <gtest/gtest.h>

#include <string>

#include "format/run_error.h"
#include "format/sha256.h"
#include "support/scratch_dir.h"

using namespace quillet;

namespace {
const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
}

TEST(Sha256, KnownAnswersOfTheStandard) {
    EXPECT_EQ(hex_text(sha256_of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_text(sha256_of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_text(sha256_of(two_blocks)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex_text(sha256_of(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PiecesOfAnyLengthGiveTheDigestOfTheWhole) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text.push_back(char(i * 37 + 11));
    const sha256_digest whole = sha256_of(text);
    for (std::size_t step : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 200u}) {
        sha256 h;
        for (std::size_t at = 0; at < text.size(); at += step) h.update(text.substr(at, step));
        EXPECT_EQ(h.finish(), whole) << "pieces of " << step;
    }
}

TEST(Sha256, LengthsAroundThePaddingBoundaryGiveDistinctDigests) {
    // 55 bytes pad into one block, 56 need a second: both paths of finish().
    EXPECT_NE(sha256_of(std::string(55, 'x')), sha256_of(std::string(56, 'x')));
    EXPECT_EQ(hex_text(sha256_of(std::string(64, 'a'))),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, FileDigestEqualsTheDigestOfItsBytesAndAMissingFileIsNamed) {
    test_support::scratch_dir dir;
    dir.write("f", "abc");
    EXPECT_EQ(hex_text(sha256_of_file(dir.path() + "/f")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    try {
        sha256_of_file(dir.path() + "/missing");
        FAIL() << "no error";
    } catch (const input_error& e) {
        EXPECT_NE(std::string(e.what()).find("/missing: cannot be opened"), std::string::npos) << e.what();
    }
}
