#include "ScrivelCore/CopyCheck.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace scrivel {

std::int64_t CopyCheck::framesWithReadableText() const
{
    std::set<std::int64_t> frames;
    for (const ReadableText& text : readable)
        frames.insert(text.frameIndex);
    return static_cast<std::int64_t>(frames.size());
}

std::vector<ReadableMoment> CopyCheck::moments(std::int64_t maximumGapFrames) const
{
    // Per kind, the first span read in each frame, frames in order.
    std::map<RedactionKind, std::map<std::int64_t, const ReadableText*>> byKind;
    for (const ReadableText& text : readable)
        byKind[text.kind].emplace(text.frameIndex, &text);

    std::vector<ReadableMoment> moments;
    for (const auto& [kind, frames] : byKind) {
        std::int64_t lastFrame = 0;
        for (const auto& [frameIndex, text] : frames) {
            if (!moments.empty() && moments.back().kind == kind && frameIndex - lastFrame <= maximumGapFrames) {
                moments.back().endTime = text->time;
                ++moments.back().frameCount;
            } else {
                moments.push_back({text->time, text->time, kind, text->text, 1});
            }
            lastFrame = frameIndex;
        }
    }
    std::stable_sort(moments.begin(), moments.end(), [](const ReadableMoment& a, const ReadableMoment& b) {
        return a.startTime != b.startTime ? a.startTime < b.startTime : a.kind < b.kind;
    });
    return moments;
}

std::string_view kindDescription(RedactionKind kind)
{
    switch (kind) {
    case RedactionKind::all:
        return "text";
    case RedactionKind::han:
        return "Chinese text";
    case RedactionKind::email:
        return "e-mail address";
    case RedactionKind::phone:
        return "phone number";
    case RedactionKind::custom:
        return "term";
    }
    return "text";
}

Json toJson(const ReadableText& value)
{
    return {{"frameIndex", value.frameIndex}, {"time", value.time},       {"kind", rawValue(value.kind)},
            {"text", value.text},             {"line", value.lineText},   {"box", toJson(value.box)},
            {"confidence", value.confidence}};
}

Json toJson(const ReadableMoment& value)
{
    return {{"startTime", value.startTime},
            {"endTime", value.endTime},
            {"kind", rawValue(value.kind)},
            {"text", value.text},
            {"frameCount", value.frameCount}};
}

Json toJson(const CopyCheck& value)
{
    Json readable = Json::array();
    for (const ReadableText& text : value.readable)
        readable.push_back(toJson(text));
    Json moments = Json::array();
    for (const ReadableMoment& moment : value.moments())
        moments.push_back(toJson(moment));
    return {{"clean", value.clean()},
            {"framesRead", value.framesRead},
            {"framesWithReadableText", value.framesWithReadableText()},
            {"frameWidth", value.frameWidth},
            {"frameHeight", value.frameHeight},
            {"faithful", value.differences.empty()},
            {"differences", value.differences},
            {"notes", value.notes},
            {"moments", std::move(moments)},
            {"readable", std::move(readable)}};
}

} // namespace scrivel
