// SHA-256 digests and their "sha256:" hex text.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The SHA-256 digest of exactly these bytes: on the processor's SHA
// instructions when it has them, else by the crypto library.
Sha256Digest sha256(std::string_view bytes);
// The digest of each text into digests[i] (as many as there are texts):
// on the instructions, two texts at a time.
void sha256_each(std::span<const std::string_view> texts, Sha256Digest* digests);
// The same by the crypto library, whatever the processor has.
Sha256Digest sha256_library(std::string_view bytes);

// Appends two lowercase hexadecimal digits per byte, most significant first.
void append_hex(std::string& out, const std::uint8_t* bytes, std::size_t n);

// "sha256:" followed by the 64 lowercase hexadecimal digits of the digest (71 characters).
std::string sha256_text(std::string_view bytes);

}  // namespace norvane
