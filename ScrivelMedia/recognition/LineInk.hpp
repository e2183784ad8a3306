#pragma once

#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "recognition/OcrEngine.hpp"

// Where the ink of a line crop lies: the rows a crop is trimmed to before it
// is read, the box a read line takes on its frame, and the columns its
// characters are fitted to. Used by OcrEngine only.
namespace scrivel::ink {

// Before scaling, a crop keeps only its inked rows plus this share of the ink
// height above and below. Detection boxes are loose around small text (more
// so when lines are found on a downscaled raster), which left the glyphs small
// in the 48-pixel input: doubled letters collapsed ("qq" read as "q"), thin
// ones vanished ("mail.example" as "mailexample") and spaces went missing. On
// the accuracy bench this raised e-mail exact hits from 92-95 % to 99 %.
inline constexpr double kInkMarginHeights = 0.35;
// Pixels differing from the crop's median grey by more than this are ink.
inline constexpr int kInkContrast = 48;
// Beside ink, pixels differing by more than this are the soft edge of its
// anti-aliased strokes.
inline constexpr int kSoftInkContrast = kInkContrast / 2;
// A character box grows by this share of the line box height on each side
// (1.5 timesteps of a crop of the whole box), up to halfway to the next
// character: room round the ink the characters were fitted to, for ink
// fainter than kSoftInkContrast and for characters left at the extents
// their timesteps give.
inline constexpr double kMarginCropHeights = 0.25;
// Detection boxes hug the text and cut up to a tenth off the top or bottom
// of tall glyphs; a line's box takes in ink that runs on past its edge by
// at most this share of its height (no more than kMarginCropHeights, so
// that the margin of a range at the line's end reaches the box's end).
inline constexpr double kMostInkBeyondBoxHeights = 0.25;
// A line's box also takes in whole glyphs beyond its ends, up to this many
// line heights, where each begins within this share of a line height of the
// ink before it: the gap between two glyphs of a word, not between words.
inline constexpr double kMostGlyphsBeyondBoxHeights = 2.0;
inline constexpr double kGlyphGapHeights = 0.2;
// An ink run holding no character's middle at least this share of the
// crop's height wide (half the height of the ink the crop is trimmed to) is
// a glyph of its own that the reader left out.
inline constexpr double kUnreadGlyphWidthShare = 0.3;

// The median grey of a line crop, taken for its background.
int backgroundGrey(const cv::Mat& grey);

// How far each pixel's grey lies from the crop's background.
cv::Mat inkContrastOf(const cv::Mat& crop);

// The box of a line crop's ink: pixels whose grey differs from the crop's
// median grey by more than kInkContrast. Empty when there is none.
cv::Rect inkBoxOf(const cv::Mat& crop);

// The rows of a crop of `size` that hold its ink box, with a margin:
// detection boxes are looser on small text, which would leave the glyphs
// small in the 48-pixel recognition input.
cv::Rect rowsAroundInk(cv::Rect ink, cv::Size size);

cv::Rect tightenToInk(const cv::Mat& crop);

// The box of a line read from `line` in `frame`: larger where the line's ink
// runs on past the box's edges (detection boxes cut the tops of tall glyphs
// and the outer strokes of end ones), by at most kMostInkBeyondBoxHeights.
cv::Rect placedBoxOf(const cv::Mat& frame, cv::Rect line, std::span<const cv::Rect> neighbours);

// Moves the ends of the characters' estimated extents onto their ink: the
// estimates often stop a few pixels inside a glyph, and a span's box must
// take in the whole of its end glyphs. A run of ink belongs to the
// characters whose estimated middles its core holds; the first of them
// starts where it starts, the last ends where it ends, and touching glyphs
// part where the ink between them dips (at the estimated cut when it does
// not). A run holding no middle (a glyph's detached stroke, a mark the
// reading left out) goes to the character beside it whose extent it
// overlaps more, or lies nearer when it lies between words. No end passes
// the estimated middle of the next character on its side. Characters
// without ink keep their estimates, less what their neighbours' ink takes;
// white space keeps its own. `contrast` is inkContrastOf() of the rows read,
// a crop column being `columnsPerPixel` columns of the scaled crop.
void fitToInk(std::vector<OcrEngine::LineReading::Columns>& characters, const std::vector<bool>& wordLike,
              const cv::Mat& contrast, double columnsPerPixel);

} // namespace scrivel::ink
