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
constexpr size_t kSearchWidth = 1000;

// Builds the grey copy of an RGB view one row at a time, as the view is
// decoded: luma (Rec. 601, in integers), each pixel the rounded mean of a
// factor x factor block; rows and columns that do not fill a block are left
// out.
struct GreyBuilder {
    GreyView view;
    std::vector<unsigned> sums;  // of the reduced row being filled
    size_t width = 0;            // of the view
    size_t rows = 0;             // of the view added so far
};
void start_grey(size_t width, size_t height, int factor, GreyBuilder* builder);
void add_grey_row(const unsigned char* rgb, GreyBuilder* builder);

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
