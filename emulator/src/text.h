// Text the library takes in and hands back: UTF-8 only, cut only between characters, so that
// every string a caller reads back decodes.
#pragma once

#include <cstddef>
#include <string>

namespace qx_emulator {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool valid_utf8(const std::string& text);

// The longest prefix of the UTF-8 text `text` of at most `bytes` bytes that ends between two
// characters.
std::string utf8_prefix(const std::string& text, std::size_t bytes);

}  // namespace qx_emulator
