#include "tracking/TrackerPlanning.hpp"
#include "tracking/TrackerPlanningParts.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "common/ParallelFor.hpp"

namespace scrivel::tracking {

using namespace detail;

namespace {

constexpr double neighbourhoodSeconds = 0.15;
constexpr std::int64_t neighbourhoodFrames = 2;
constexpr std::int64_t minimumSupport = 3;

} // namespace

std::vector<FrameRange> neighbourhoods(const std::vector<DetectionSample>& samples)
{
    const auto count = static_cast<std::int64_t>(samples.size());
    std::vector<FrameRange> result;
    result.reserve(samples.size());
    for (std::int64_t f = 0; f < count; ++f) {
        const DetectionSample& centre = samples[static_cast<std::size_t>(f)];
        const auto belongs = [&](std::int64_t other) {
            const DetectionSample& sample = samples[static_cast<std::size_t>(other)];
            if (sample.sceneID != centre.sceneID)
                return false;
            if (std::abs(other - f) <= neighbourhoodFrames)
                return true;
            return other < f ? sample.time >= centre.time - neighbourhoodSeconds
                             : sample.time <= centre.time + neighbourhoodSeconds;
        };
        FrameRange range{f, f};
        while (range.lower > 0 && belongs(range.lower - 1))
            --range.lower;
        while (range.upper + 1 < count && belongs(range.upper + 1))
            ++range.upper;
        result.push_back(range);
    }
    return result;
}

std::optional<std::int64_t> startFrame(const DetectionTemplate& detectionTemplate,
                                       const std::vector<FrameRange>& neighbourhoods)
{
    const std::vector<DetectionObservation>& observations = detectionTemplate.observations;
    const auto around = [&](std::int64_t frame) { return neighbourhoods[static_cast<std::size_t>(frame)]; };
    for (std::size_t k = 0; k + 2 < observations.size(); ++k) {
        if (around(observations[k + 2].frame).contains(observations[k + 1].frame)
            && around(observations[k + 1].frame).contains(observations[k].frame))
            return observations[k].frame;
    }
    return std::nullopt;
}

SupportSet::SupportSet(std::int64_t firstFrame, std::vector<bool> members)
    : firstFrame_(firstFrame), members_(std::move(members)),
      count_(static_cast<std::size_t>(std::count(members_.begin(), members_.end(), true)))
{
}

bool SupportSet::contains(std::int64_t frame) const
{
    const std::int64_t index = frame - firstFrame_;
    return index >= 0 && index < static_cast<std::int64_t>(members_.size()) && members_[static_cast<std::size_t>(index)];
}

std::optional<SupportSet> supportSet(const DetectionTemplate& detectionTemplate, std::int64_t identityLength,
                                     const std::vector<FrameRange>& neighbourhoods)
{
    if (identityLength > shortIdentityLength)
        return std::nullopt;
    const std::vector<DetectionObservation>& observations = detectionTemplate.observations;
    if (observations.empty())
        return SupportSet();

    // Single characters are confused with noise far more often, so they need
    // twice the density of longer short identities.
    const std::int64_t divisor = identityLength < 2 ? 2 : 4;
    std::vector<std::int64_t> frames;
    frames.reserve(observations.size());
    for (const DetectionObservation& observation : observations)
        frames.push_back(observation.frame);
    std::sort(frames.begin(), frames.end());

    const std::int64_t first = neighbourhoods[static_cast<std::size_t>(frames.front())].lower;
    const std::int64_t last = neighbourhoods[static_cast<std::size_t>(frames.back())].upper;
    std::vector<bool> members;
    members.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::int64_t f = first; f <= last; ++f) {
        const FrameRange around = neighbourhoods[static_cast<std::size_t>(f)];
        const std::int64_t size = around.upper - around.lower + 1;
        const auto seen = std::upper_bound(frames.begin(), frames.end(), around.upper)
            - std::lower_bound(frames.begin(), frames.end(), around.lower);
        const std::int64_t needed = std::max((size + divisor - 1) / divisor, minimumSupport);
        members.push_back(seen >= needed);
    }
    return SupportSet(first, std::move(members));
}

std::string identityText(std::string_view text) { return TextTemplateBuilder::normalizedText(text); }

std::int64_t characterCount(std::string_view text)
{
    return static_cast<std::int64_t>(unicode::graphemeClusters(text).size());
}

std::vector<PlannedTemplate> plan(const std::vector<DetectionTemplate>& templates,
                                  const std::vector<FrameRange>& neighbourhoods)
{
    std::vector<PlannedTemplate> result;
    for (const DetectionTemplate& detectionTemplate : templates) {
        const std::optional<std::int64_t> start = startFrame(detectionTemplate, neighbourhoods);
        if (!start)
            continue;
        PlannedTemplate planned;
        planned.identity = identityText(detectionTemplate.canonicalRegion.text);
        planned.identityLength = characterCount(planned.identity);
        planned.support = supportSet(detectionTemplate, planned.identityLength, neighbourhoods);
        if (planned.support && planned.support->empty())
            continue;
        planned.singleCharacter = planned.support && planned.identityLength < 2;
        planned.startFrame = *start;
        planned.detectionTemplate = detectionTemplate;
        result.push_back(std::move(planned));
    }
    return result;
}

namespace {

// A text with spans to hide that a misreading of it may borrow from.
struct Lender {
    std::string_view identity;
    const std::vector<TextSelection>* selections;
};

// The lender nearest `identity` within one edit in ten, if any.
const Lender* nearestLender(std::string_view identity, const std::vector<Lender>& lenders)
{
    const Lender* nearest = nullptr;
    std::size_t fewest = 0;
    for (const Lender& lender : lenders) {
        const std::string_view other = lender.identity;
        const std::size_t allowed = std::max<std::size_t>(1, std::max(identity.size(), other.size()) / 10);
        const std::size_t apart =
            identity.size() > other.size() ? identity.size() - other.size() : other.size() - identity.size();
        if (apart > allowed)
            continue;
        const std::size_t edits = unicode::editDistance(identity, other);
        if (edits <= allowed && (!nearest || edits < fewest)) {
            nearest = &lender;
            fewest = edits;
        }
    }
    return nearest;
}

} // namespace

void borrowSpans(std::vector<PlannedTemplate>& planned)
{
    std::vector<Lender> lenders;
    for (const PlannedTemplate& p : planned)
        if (p.identityLength >= borrowingLength && !p.detectionTemplate.canonicalRegion.selections.empty())
            lenders.push_back({p.identity, &p.detectionTemplate.canonicalRegion.selections});
    if (lenders.empty())
        return;
    std::vector<std::pair<PlannedTemplate*, const Lender*>> loans;
    for (PlannedTemplate& borrower : planned) {
        if (borrower.identityLength < borrowingLength || !borrower.detectionTemplate.canonicalRegion.selections.empty())
            continue;
        if (const Lender* nearest = nearestLender(borrower.identity, lenders))
            loans.emplace_back(&borrower, nearest);
    }
    // Lent after the search, so that a borrower never lends on.
    for (const auto& [borrower, lender] : loans)
        borrower->detectionTemplate.canonicalRegion.selections = *lender->selections;
}

namespace {

// A name is often an address's local part ("Fiona MacLeod" beside
// "fiona.macleod@…"): a reading takes an address's spans only where it
// holds the at sign itself, which misreadings keep (they lose dots).
bool lendsAddress(const Lender& lender)
{
    return std::any_of(lender.selections->begin(), lender.selections->end(),
                       [](const TextSelection& s) { return s.kind == RedactionKind::email; });
}

bool holdsAtSign(std::string_view text)
{
    return text.find('@') != std::string_view::npos || text.find("\uFF20") != std::string_view::npos;
}

} // namespace

std::vector<DetectionSample> withBorrowedSpans(std::vector<DetectionSample> samples,
                                               const std::vector<DetectionTemplate>& templates)
{
    std::vector<std::string> identities;
    identities.reserve(templates.size());
    for (const DetectionTemplate& t : templates)
        identities.push_back(identityText(t.canonicalRegion.text));
    std::vector<Lender> lenders;
    for (std::size_t k = 0; k < templates.size(); ++k)
        if (!templates[k].canonicalRegion.selections.empty() && characterCount(identities[k]) >= borrowingLength)
            lenders.push_back({identities[k], &templates[k].canonicalRegion.selections});
    if (lenders.empty())
        return samples;
    // Lines repeat from frame to frame: each text is looked up once.
    std::map<std::string, const Lender*, std::less<>> found;
    for (DetectionSample& sample : samples) {
        for (DetectedRegion& region : sample.regions) {
            if (!region.selections.empty())
                continue;
            std::string identity = identityText(region.text);
            auto known = found.find(identity);
            if (known == found.end()) {
                const Lender* lender =
                    characterCount(identity) >= borrowingLength ? nearestLender(identity, lenders) : nullptr;
                known = found.emplace(std::move(identity), lender).first;
            }
            if (known->second && !(lendsAddress(*known->second) && !holdsAtSign(region.text)))
                region.selections = *known->second->selections;
        }
    }
    return samples;
}

Reference makeReference(PlannedTemplate planned, std::size_t patch, std::uint32_t color)
{
    Reference reference;
    reference.layout = SelectionLayout(planned.detectionTemplate.canonicalRegion.selections);
    reference.planned = std::move(planned);
    reference.patch = patch;
    reference.color = color;
    return reference;
}

void orderReferences(std::vector<Reference>& references)
{
    std::stable_sort(references.begin(), references.end(), [](const Reference& a, const Reference& b) {
        const DetectionTemplate& ta = a.detectionTemplate();
        const DetectionTemplate& tb = b.detectionTemplate();
        if (ta.observations.size() != tb.observations.size())
            return ta.observations.size() > tb.observations.size();
        if (a.planned.identityLength != b.planned.identityLength)
            return a.planned.identityLength > b.planned.identityLength;
        const double areaA = ta.canonicalRegion.rect.area();
        const double areaB = tb.canonicalRegion.rect.area();
        if (areaA != areaB)
            return areaA > areaB;
        return ta.id < tb.id;
    });
}

} // namespace scrivel::tracking
