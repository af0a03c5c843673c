// Matching points made precise: each match found on the reduced copies is
// moved, in the right view, to where a small patch around the left point
// fits best in a finer grey copy (Lucas and Kanade's method, the patch
// turned and scaled as the first estimate says, with its brightness and
// contrast matched). Plain arithmetic, the same on every platform.
#ifndef STEREO_TOOLKIT_REFINE_HPP
#define STEREO_TOOLKIT_REFINE_HPP

#include <cstddef>
#include <vector>

#include "align.hpp"
#include "features.hpp"

// The factor of the finer grey copies for a view `width` pixels wide: the
// smallest that brings it to at most kRefineWidth pixels.
int refine_factor(size_t width);
constexpr size_t kRefineWidth = 2000;

// The matches `use` of `matches`, with their right points moved where the
// left points' patches fit best under correction `c`; matches whose patch
// has too little texture to be placed, or that would move by more than two
// pixels of the finer copies, are left out.
std::vector<Match> refine_matches(const std::vector<Match>& matches, const std::vector<size_t>& use,
                                  const Correction& c, const GreyView& left, const GreyView& right,
                                  ViewSize size);

#endif
