#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// A span to redact, its box relative to the owning region's rectangle.
struct TextSelection {
    NormalizedRect rect;
    RedactionKind kind = RedactionKind::all;
    std::string text; // UTF-8

    bool operator==(const TextSelection&) const = default;
};

// One recognised text line in one frame.
struct DetectedRegion {
    NormalizedRect rect;
    float confidence = 0;
    std::string text; // UTF-8
    std::vector<TextSelection> selections;
    std::int64_t trackID = 0;
    std::uint32_t backgroundColor = 0; // 0x00RRGGBB

    // One frame-normalised rectangle per selection, in selection order.
    std::vector<NormalizedRect> maskRects() const;

    bool operator==(const DetectedRegion&) const = default;
};

struct DetectionSample {
    double time = 0;
    std::int64_t sceneID = 0;
    std::vector<DetectedRegion> regions;

    bool operator==(const DetectionSample&) const = default;
};

// Per-track summary for the user interface; derived, never stored.
struct DetectionTrack {
    std::int64_t id = 0;
    std::string text;
    std::string selectedText;
    std::int64_t frameCount = 0;
    float confidence = 0;
    double startTime = 0;
    double endTime = 0;

    bool operator==(const DetectionTrack&) const = default;
};

struct ScanResult {
    double duration = 0;
    double frameRate = 0;
    std::int64_t sampleCount = 0;
    std::int64_t totalRegions = 0;
    std::vector<DetectionSample> samples;

    // Computed on every call, ordered by ascending track id.
    std::vector<DetectionTrack> tracks() const;

    bool operator==(const ScanResult&) const = default;
};

} // namespace scrivel
