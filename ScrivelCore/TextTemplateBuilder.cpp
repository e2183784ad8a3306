#include "ScrivelCore/TextTemplateBuilder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel {

namespace {

constexpr double minimumSizeRatio = 0.65;
constexpr double maximumSizeRatio = 1.55;
constexpr double minimumIoU = 0.45;
constexpr double borderMargin = 1e-6;
constexpr double scoreTolerance = 1e-6;
constexpr double confidenceWeight = 0.15;
// Consecutive observations of a line that sat still against the frame's
// motion overlap at least this much (a pixel or so of jitter on a line).
constexpr double settledIoU = 0.8;
constexpr double settledSeconds = 0.25;
// A pane's lines are followed from sample to sample over gaps this short,
// by steps of at most this share of the frame each way, and move together
// when their shifts agree within this share of a line's height.
constexpr double paneContinuitySeconds = 0.15;
constexpr double longestPaneStep = 0.3;
constexpr double paneAgreement = 0.3;

// Members are kept lean: the recognised region is read back from the samples
// when a template is built, the canonical rectangle is all matching needs.
struct Observation {
    std::size_t frame;
    std::size_t regionIndex;
    NormalizedRect canonical;
};

using TextID = std::uint32_t; // an interned normalised text

struct SelectionIdentity {
    RedactionKind kind;
    TextID text;
    bool operator==(const SelectionIdentity&) const = default;
};

struct Identity {
    std::int64_t scene = 0;
    TextID text = 0;
    std::vector<SelectionIdentity> selections;
    bool operator==(const Identity&) const = default;
};

std::size_t mix(std::size_t seed, std::uint64_t value)
{
    // 64-bit multiplicative mixing; identities differ mostly in small integers.
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed * 0xff51afd7ed558ccdULL;
}

struct IdentityHash {
    std::size_t operator()(const Identity& identity) const
    {
        std::size_t seed = mix(0, static_cast<std::uint64_t>(identity.scene));
        seed = mix(seed, identity.text);
        for (const SelectionIdentity& selection : identity.selections)
            seed = mix(seed, (static_cast<std::uint64_t>(selection.kind) << 32) | selection.text);
        return seed;
    }
};

struct Candidate {
    std::size_t cluster;
    std::size_t region;
    double distance;
};

// Assignment order: nearest first; ties by cluster, then by region.
template <typename Pairing>
bool nearestFirst(const Pairing& a, const Pairing& b)
{
    if (a.distance != b.distance)
        return a.distance < b.distance;
    if (a.cluster != b.cluster)
        return a.cluster < b.cluster;
    return a.region < b.region;
}

// Normalises each distinct string once; repeated lines are the common case
// in a recording, so this keeps ICU out of the inner loop.
class TextInterner {
public:
    TextID id(const std::string& raw)
    {
        if (const auto found = byRaw_.find(raw); found != byRaw_.end())
            return found->second;
        const auto [entry, inserted] =
            byNormalized_.try_emplace(TextTemplateBuilder::normalizedText(raw), static_cast<TextID>(byNormalized_.size()));
        byRaw_.emplace(raw, entry->second);
        return entry->second;
    }

private:
    std::unordered_map<std::string, TextID> byRaw_;
    std::unordered_map<std::string, TextID> byNormalized_;
};

bool isLetterOrNumber(UChar32 c)
{
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool keepsClearOfBorder(const NormalizedRect& rect)
{
    return rect.x > borderMargin && rect.y > borderMargin && rect.x + rect.width < 1 - borderMargin &&
           rect.y + rect.height < 1 - borderMargin;
}

// A pane that scrolls on its own (a list beside a still reading pane, an
// editor above a still terminal) moves its lines against the sample's
// motion, so their canonical places drift off their clusters' first ones
// and each would start a template of its own. A line left over by the
// canonical matching continues a cluster of its identity last seen shortly
// before, where another line of another text continues one from the same
// sample by the same shift on screen: lines moving together are a pane,
// where a single line found a little off its place is not.
void continuePaneLines(const std::vector<DetectionSample>& samples, const MotionTransform& inverse, std::size_t i,
                       const std::vector<std::vector<std::size_t>*>& regionClusters,
                       std::vector<std::vector<Observation>>& clusters, std::vector<bool>& regionUsed,
                       std::vector<std::size_t>& clusterUsedIn)
{
    struct Continuation {
        std::size_t cluster;
        std::size_t region;
        std::size_t from; // sample of the cluster's last observation
        double dx, dy;    // on screen since then
        double distance;
    };
    const DetectionSample& sample = samples[i];
    // Where a line of an identity was found in its canonical place, the
    // motion describes that text: another copy of it elsewhere (a sheet's
    // rows repeating a value) is another line, not this one moved.
    std::vector<const std::vector<std::size_t>*> placed;
    for (std::size_t j = 0; j < sample.regions.size(); ++j)
        if (regionUsed[j])
            placed.push_back(regionClusters[j]);
    std::vector<Continuation> continuations;
    for (std::size_t j = 0; j < sample.regions.size(); ++j) {
        const NormalizedRect& seen = sample.regions[j].rect;
        if (regionUsed[j] || !(seen.area() > 0)
            || std::find(placed.begin(), placed.end(), regionClusters[j]) != placed.end())
            continue;
        for (const std::size_t k : *regionClusters[j]) {
            if (clusterUsedIn[k] == i + 1)
                continue;
            const Observation& last = clusters[k].back();
            if (last.frame >= i || sample.time - samples[last.frame].time > paneContinuitySeconds)
                continue;
            const NormalizedRect& before = samples[last.frame].regions[last.regionIndex].rect;
            if (!(before.area() > 0))
                continue;
            const double widthRatio = seen.width / before.width;
            const double heightRatio = seen.height / before.height;
            if (widthRatio < minimumSizeRatio || widthRatio > maximumSizeRatio || heightRatio < minimumSizeRatio ||
                heightRatio > maximumSizeRatio)
                continue;
            const double dx = seen.midX() - before.midX();
            const double dy = seen.midY() - before.midY();
            if (std::abs(dx) > longestPaneStep || std::abs(dy) > longestPaneStep)
                continue;
            continuations.push_back({k, j, last.frame, dx, dy, std::abs(dx) / before.width + std::abs(dy) / before.height});
        }
    }
    std::vector<Continuation> supported;
    for (const Continuation& a : continuations) {
        const double tolerance = paneAgreement * sample.regions[a.region].rect.height;
        const bool together = std::any_of(continuations.begin(), continuations.end(), [&](const Continuation& b) {
            return regionClusters[b.region] != regionClusters[a.region] && b.from == a.from &&
                   std::abs(b.dx - a.dx) <= tolerance && std::abs(b.dy - a.dy) <= tolerance;
        });
        if (together)
            supported.push_back(a);
    }
    std::sort(supported.begin(), supported.end(), nearestFirst<Continuation>);
    for (const Continuation& c : supported) {
        if (regionUsed[c.region] || clusterUsedIn[c.cluster] == i + 1)
            continue;
        regionUsed[c.region] = true;
        clusterUsedIn[c.cluster] = i + 1;
        clusters[c.cluster].push_back({i, c.region, inverse.applying(sample.regions[c.region].rect)});
    }
}

} // namespace

TextTemplateBuilder::TextTemplateBuilder(const std::vector<DetectionSample>& samples,
                                         const std::vector<std::optional<MotionTransform>>& motions)
    : samples_(samples), motions_(motions)
{
    if (samples.size() != motions.size()) {
        std::fprintf(stderr, "Scrivel: template builder given %zu samples but %zu motions\n", samples.size(),
                     motions.size());
        std::abort();
    }
}

std::string TextTemplateBuilder::normalizedText(std::string_view text)
{
    bool ascii = true;
    for (unsigned char byte : text) {
        if (byte >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        // Plain ASCII has one code point per cluster (CR LF aside, never kept).
        std::string result;
        result.reserve(text.size());
        for (char ch : text) {
            if (ch >= 'A' && ch <= 'Z')
                result.push_back(static_cast<char>(ch - 'A' + 'a'));
            else if ((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9'))
                result.push_back(ch);
        }
        return result;
    }

    const std::u16string source = unicode::toUtf16(text);
    icu::UnicodeString lower(source.data(), static_cast<int32_t>(source.size()));
    lower.toLower(icu::Locale::getRoot());
    const std::u16string_view lowered(reinterpret_cast<const char16_t*>(lower.getBuffer()),
                                      static_cast<std::size_t>(lower.length()));
    const std::vector<std::size_t> boundaries = unicode::clusterBoundaries(lowered);
    std::u16string kept;
    kept.reserve(lowered.size());
    for (std::size_t c = 0; c + 1 < boundaries.size(); ++c) {
        UChar32 first;
        std::size_t offset = boundaries[c];
        U16_NEXT(lowered.data(), offset, boundaries[c + 1], first);
        // A cluster is judged by its base character; its marks go with it.
        if (isLetterOrNumber(first))
            kept.append(lowered.substr(boundaries[c], boundaries[c + 1] - boundaries[c]));
    }
    return unicode::toUtf8(kept);
}

std::vector<DetectionTemplate> TextTemplateBuilder::run() const
{
    std::vector<std::vector<Observation>> clusters;
    std::unordered_map<Identity, std::vector<std::size_t>, IdentityHash> clustersByIdentity;
    TextInterner texts;

    // Per-sample scratch, reused to avoid reallocating for every sample.
    std::vector<std::vector<std::size_t>*> regionClusters;
    std::vector<NormalizedRect> canonical;
    std::vector<Candidate> candidates;
    std::vector<bool> regionUsed;
    std::vector<std::size_t> clusterUsedIn; // sample index + 1 that last took the cluster

    for (std::size_t i = 0; i < samples_.size(); ++i) {
        if (!motions_[i])
            continue;
        const DetectionSample& sample = samples_[i];
        const MotionTransform inverse = motions_[i]->inverted();
        const std::size_t regionCount = sample.regions.size();

        regionClusters.assign(regionCount, nullptr);
        canonical.resize(regionCount);
        candidates.clear();
        for (std::size_t j = 0; j < regionCount; ++j) {
            const DetectedRegion& region = sample.regions[j];
            const NormalizedRect c = inverse.applying(region.rect);
            canonical[j] = c;

            Identity identity{sample.sceneID, texts.id(region.text), {}};
            identity.selections.reserve(region.selections.size());
            for (const TextSelection& selection : region.selections)
                identity.selections.push_back({selection.kind, texts.id(selection.text)});
            // Node-based map: the list's address survives later insertions.
            std::vector<std::size_t>& known = clustersByIdentity[std::move(identity)];
            regionClusters[j] = &known;

            if (!(c.area() > 0))
                continue;
            for (const std::size_t k : known) {
                const NormalizedRect& r = clusters[k].front().canonical;
                if (!(r.area() > 0))
                    continue;
                const double widthRatio = c.width / r.width;
                const double heightRatio = c.height / r.height;
                if (widthRatio < minimumSizeRatio || widthRatio > maximumSizeRatio ||
                    heightRatio < minimumSizeRatio || heightRatio > maximumSizeRatio)
                    continue;
                if (!(c.iou(r) >= minimumIoU))
                    continue;
                const double distance = std::abs(c.midX() - r.midX()) / r.width +
                                        std::abs(c.midY() - r.midY()) / r.height +
                                        std::abs(std::log(widthRatio)) + std::abs(std::log(heightRatio));
                candidates.push_back({k, j, distance});
            }
        }

        std::sort(candidates.begin(), candidates.end(), nearestFirst<Candidate>);

        regionUsed.assign(regionCount, false);
        clusterUsedIn.resize(clusters.size(), 0);
        for (const Candidate& candidate : candidates) {
            if (regionUsed[candidate.region] || clusterUsedIn[candidate.cluster] == i + 1)
                continue;
            regionUsed[candidate.region] = true;
            clusterUsedIn[candidate.cluster] = i + 1;
            clusters[candidate.cluster].push_back({i, candidate.region, canonical[candidate.region]});
        }

        continuePaneLines(samples_, inverse, i, regionClusters, clusters, regionUsed, clusterUsedIn);

        for (std::size_t j = 0; j < regionCount; ++j) {
            if (regionUsed[j])
                continue;
            regionClusters[j]->push_back(clusters.size());
            clusters.push_back({{i, j, canonical[j]}});
        }
    }

    std::vector<DetectionTemplate> templates;
    templates.reserve(clusters.size());
    std::vector<const Observation*> pool;
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        const std::vector<Observation>& members = clusters[k];
        auto frameRect = [&](const Observation& o) -> const NormalizedRect& {
            return samples_[o.frame].regions[o.regionIndex].rect;
        };

        // The reference's look is what the text is followed by, so it is
        // taken where the text sat still against its frame's motion: within
        // a run of observations, shortly before and after it, in the same
        // place. The first or last observation of a run, or one whose
        // neighbours lie elsewhere, may have been made while the text moved
        // on its own (a pane settling after a scroll that the frame's motion
        // did not follow) and often shows it blurred. Such observations are
        // passed over while others remain.
        const auto settled = [&](std::size_t m) {
            const Observation& o = members[m];
            const auto stillBeside = [&](const Observation& other) {
                return std::abs(samples_[other.frame].time - samples_[o.frame].time) <= settledSeconds
                    && other.canonical.iou(o.canonical) >= settledIoU;
            };
            return m > 0 && m + 1 < members.size() && stillBeside(members[m - 1]) && stillBeside(members[m + 1]);
        };
        pool.clear();
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (keepsClearOfBorder(frameRect(members[m])) && settled(m))
                pool.push_back(&members[m]);
        }
        if (pool.empty()) {
            for (const Observation& o : members) {
                if (keepsClearOfBorder(frameRect(o)))
                    pool.push_back(&o);
            }
        }
        if (pool.empty()) {
            for (const Observation& o : members)
                pool.push_back(&o);
        }

        std::vector<double> xs, ys, ws, hs;
        for (const Observation* o : pool) {
            xs.push_back(o->canonical.x);
            ys.push_back(o->canonical.y);
            ws.push_back(o->canonical.width);
            hs.push_back(o->canonical.height);
        }
        const double mx = median(std::move(xs));
        const double my = median(std::move(ys));
        const double mw = median(std::move(ws));
        const double mh = median(std::move(hs));
        auto score = [&](const Observation& o) {
            const NormalizedRect& r = o.canonical;
            const double q = samples_[o.frame].regions[o.regionIndex].confidence;
            return std::abs(r.x - mx) / mw + std::abs(r.y - my) / mh + std::abs(r.width - mw) / mw +
                   std::abs(r.height - mh) / mh + (1 - q) * confidenceWeight;
        };

        const Observation* best = pool.front();
        double bestScore = score(*best);
        for (std::size_t p = 1; p < pool.size(); ++p) {
            const Observation* o = pool[p];
            const double s = score(*o);
            const bool clearlyLower = std::abs(s - bestScore) > scoreTolerance && s < bestScore;
            const bool tiedButTaller =
                std::abs(s - bestScore) <= scoreTolerance && frameRect(*o).height > frameRect(*best).height;
            if (clearlyLower || tiedButTaller) {
                best = o;
                bestScore = s;
            }
        }

        DetectionTemplate result;
        result.id = static_cast<std::int64_t>(k) + 1;
        result.sceneID = samples_[best->frame].sceneID;
        result.referenceFrame = static_cast<std::int64_t>(best->frame);
        result.referenceRegion = samples_[best->frame].regions[best->regionIndex];
        result.referenceRegion.trackID = result.id;
        result.canonicalRegion = result.referenceRegion;
        result.canonicalRegion.rect = best->canonical;
        result.observations.reserve(members.size());
        for (const Observation& o : members)
            result.observations.push_back({static_cast<std::int64_t>(o.frame), static_cast<std::int64_t>(o.regionIndex)});
        templates.push_back(std::move(result));
    }
    return templates;
}

std::vector<DetectionTemplate> DetectionTimeline::templates(const std::vector<DetectionSample>& samples,
                                                            const std::vector<std::optional<MotionTransform>>& motions)
{
    return TextTemplateBuilder(samples, motions).run();
}

} // namespace scrivel
