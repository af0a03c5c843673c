// Matching points between the two views, found by OpenCV on reduced grey
// copies: SIFT keypoints and descriptors, nearest neighbours by brute force,
// kept when clearly better than the second nearest and mutual.
#ifndef STEREO_TOOLKIT_FEATURES_HPP
#define STEREO_TOOLKIT_FEATURES_HPP

#include <cstddef>
#include <vector>

#include "align.hpp"

// A grey copy of a view, reduced by a whole factor.
struct GreyView {
    std::vector<unsigned char> pixels;  // rows top to bottom without gaps
    int width = 0, height = 0;
    int factor = 1;  // full-size pixels per reduced pixel, each way
};

// The factor by which a view of `width` pixels is reduced for the search:
// the smallest that brings it to at most kSearchWidth pixels.
int search_factor(size_t width);
constexpr size_t kSearchWidth = 700;

// Builds a grey copy one row at a time, as a view is decoded into grey rows
// of `width` x `height` pixels (the view's luma, itself already reduced by
// the decoder where it can): each pixel of the copy is the rounded mean of a
// box x box block of them, and stands for factor x factor pixels of the
// view; rows and columns that do not fill a block are left out.
struct GreyBuilder {
    GreyView view;
    std::vector<unsigned> sums;  // of the reduced row being filled
    int box = 1;
    size_t rows = 0;  // added so far
};
void start_grey(size_t width, size_t height, int box, int factor, GreyBuilder* builder);
void add_grey_row(const unsigned char* grey, GreyBuilder* builder);

// Sets OpenCV up to compute the same on every platform: one thread, and no
// code paths chosen at run time for the processor. Called before any other
// use of OpenCV; the one place where these settings are made.
void use_reproducible_opencv();

// The matches between the two grey copies, in the centred full-size
// coordinates of align.hpp, for views of `size`.
std::vector<Match> find_matches(const GreyView& left, const GreyView& right, ViewSize size);

// The vertical precision of those matches in full-size pixels, the
// tolerance of estimate_alignment: one pixel of the reduced copies.
double match_tolerance(const GreyView& view);

#endif
