#include "ScrivelCore/UnicodeText.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

namespace scrivel::unicode {

namespace {

// Creating a break iterator loads rule data; each thread keeps its own since
// iterators hold per-text state.
icu::BreakIterator& characterIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !created) {
            std::fprintf(stderr, "Scrivel: cannot create the grapheme cluster iterator (%s)\n",
                         u_errorName(status));
            std::abort();
        }
        return created;
    }();
    return *iterator;
}

bool isAscii(std::string_view text)
{
    for (unsigned char byte : text) {
        if (byte >= 0x80)
            return false;
    }
    return true;
}

// Number of UTF-8 bytes for the code point starting at utf16[i] (valid UTF-16).
std::size_t utf8Length(std::u16string_view utf16, std::size_t& i)
{
    const char16_t unit = utf16[i++];
    if (unit < 0x80)
        return 1;
    if (unit < 0x800)
        return 2;
    if (U16_IS_LEAD(unit) && i < utf16.size() && U16_IS_TRAIL(utf16[i])) {
        ++i;
        return 4;
    }
    return 3;
}

} // namespace

std::vector<std::size_t> clusterBoundaries(std::u16string_view utf16)
{
    std::vector<std::size_t> boundaries{0};
    if (utf16.empty())
        return boundaries;
    // A text of plain ASCII without CR has one cluster per unit; most
    // recognised lines are like that, so skip the iterator for them.
    bool simple = true;
    for (char16_t unit : utf16) {
        if (unit >= 0x80 || unit == u'\r') {
            simple = false;
            break;
        }
    }
    if (simple) {
        boundaries.resize(utf16.size() + 1);
        for (std::size_t i = 0; i <= utf16.size(); ++i)
            boundaries[i] = i;
        return boundaries;
    }

    UErrorCode status = U_ZERO_ERROR;
    UText text = UTEXT_INITIALIZER;
    utext_openUChars(&text, utf16.data(), static_cast<int64_t>(utf16.size()), &status);
    icu::BreakIterator& iterator = characterIterator();
    iterator.setText(&text, status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "Scrivel: cannot split text into clusters (%s)\n", u_errorName(status));
        std::abort();
    }
    iterator.first();
    for (int32_t next = iterator.next(); next != icu::BreakIterator::DONE; next = iterator.next())
        boundaries.push_back(static_cast<std::size_t>(next));
    // Detach before the UText on this stack frame goes away.
    iterator.setText(icu::UnicodeString());
    utext_close(&text);
    return boundaries;
}

std::vector<Cluster> graphemeClusters(std::string_view utf8)
{
    std::vector<Cluster> clusters;
    if (utf8.empty())
        return clusters;
    if (isAscii(utf8) && utf8.find('\r') == std::string_view::npos) {
        clusters.reserve(utf8.size());
        for (std::size_t i = 0; i < utf8.size(); ++i)
            clusters.push_back({std::string(1, utf8[i]), i, i, 1});
        return clusters;
    }

    const std::u16string utf16 = toUtf16(utf8);
    const std::vector<std::size_t> boundaries = clusterBoundaries(utf16);
    clusters.reserve(boundaries.size() - 1);
    std::size_t utf8Offset = 0;
    for (std::size_t c = 0; c + 1 < boundaries.size(); ++c) {
        const std::size_t start = boundaries[c];
        const std::size_t end = boundaries[c + 1];
        std::size_t bytes = 0;
        for (std::size_t i = start; i < end;)
            bytes += utf8Length(utf16, i);
        clusters.push_back({toUtf8(std::u16string_view(utf16).substr(start, end - start)), utf8Offset, start,
                            end - start});
        utf8Offset += bytes;
    }
    return clusters;
}

std::u16string toUtf16(std::string_view utf8)
{
    if (isAscii(utf8))
        return std::u16string(utf8.begin(), utf8.end());
    std::u16string result(utf8.size(), u'\0'); // never more units than bytes
    int32_t length = 0;
    int32_t substitutions = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, &substitutions, &status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "Scrivel: UTF-8 conversion failed (%s)\n", u_errorName(status));
        std::abort();
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::string toUtf8(std::u16string_view utf16)
{
    std::string result(utf16.size() * 3, '\0'); // at most three bytes per unit
    int32_t length = 0;
    int32_t substitutions = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, utf16.data(),
                       static_cast<int32_t>(utf16.size()), 0xFFFD, &substitutions, &status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "Scrivel: UTF-16 conversion failed (%s)\n", u_errorName(status));
        std::abort();
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
}

bool isWhiteSpace(std::string_view utf8Character)
{
    if (utf8Character.empty())
        return false;
    UChar32 c = 0;
    int32_t i = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8Character.data());
    U8_NEXT(bytes, i, static_cast<int32_t>(utf8Character.size()), c);
    return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

bool isWhiteSpace(std::u16string_view utf16Character)
{
    if (utf16Character.empty())
        return false;
    std::size_t i = 0;
    UChar32 c = 0;
    U16_NEXT(utf16Character.data(), i, utf16Character.size(), c);
    return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

} // namespace scrivel::unicode
