#pragma once

#include <string>
#include <string_view>

namespace vq {

// Strict: text that is not well-formed UTF-8 (bad or missing continuation bytes, a
// sequence cut off at the end, overlong forms, encoded surrogates, values above
// U+10FFFF) gives an empty result rather than a guess.
std::u16string Utf8ToUtf16(std::string_view Text);

// For text that must not be lost whole, such as a message body: each ill-formed sequence
// becomes one U+FFFD per maximal subpart, as Unicode recommends.
std::u16string Utf8ToUtf16Replacing(std::string_view Text);

// Surrogate pairs become one four-byte sequence; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view Text);

// Text as it is when it is well-formed UTF-8 (most often, and then without a copy);
// otherwise each ill-formed sequence becomes U+FFFD as in Utf8ToUtf16Replacing.
std::string WellFormedUtf8(std::string Text);

}  // namespace vq
