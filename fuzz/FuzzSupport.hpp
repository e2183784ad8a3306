#pragma once

// Shared checks of the fuzz targets. A decoder given arbitrary bytes may
// only succeed or throw JsonDecodeError; what it accepts must survive its
// own encoding unchanged. Anything else (another exception type, a crash,
// a sanitizer report) is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "ScrivelCore/Json.hpp"

namespace scrivel::fuzz {

[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline std::string text(const std::uint8_t* data, std::size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

// decodeText<T> on the bytes; nothing when the decoder refuses them.
template <class T>
std::optional<T> decodeOrRefuse(const std::string& bytes)
{
    try {
        return decodeText<T>(bytes);
    } catch (const JsonDecodeError&) {
        return std::nullopt;
    }
}

// A decoded value re-encodes to JSON that decodes to the same value.
template <class T>
void expectRoundTrip(const T& value)
{
    const std::string encoded = toJson(value).dump();
    std::optional<T> again;
    try {
        again = decodeText<T>(encoded);
    } catch (const JsonDecodeError&) {
        fail("a decoded value's own encoding does not decode");
    }
    if (!(*again == value))
        fail("a decoded value changes through its own encoding");
}

// The whole check for one record type: refuse cleanly or round-trip.
template <class T>
std::optional<T> checkDecoder(const std::uint8_t* data, std::size_t size)
{
    std::optional<T> value = decodeOrRefuse<T>(text(data, size));
    if (value)
        expectRoundTrip(*value);
    return value;
}

} // namespace scrivel::fuzz
