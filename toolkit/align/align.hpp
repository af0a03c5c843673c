// Automatic alignment of a stereo pair: how much the right view is turned,
// scaled and moved (and, where it helps, keystoned) against the left one,
// estimated from matching points, and the correction that removes the
// vertical error between the views without adding any horizontal offset,
// which is depth.
//
// Coordinates are those of the full-size views, in pixels, measured from the
// centre of the picture (x to the right, y down).
//
// The correction is applied half to each view: the left view is mapped by
// the half transform H and the right view by its inverse, where the right view
// as shot is taken to be the left one mapped by H twice. H turns by half the
// roll, scales by the square root of the scale, adds half the keystone and
// moves down by half the shift, so a point of the scene lands on the same row
// of both corrected views.
#ifndef STEREO_TOOLKIT_ALIGN_HPP
#define STEREO_TOOLKIT_ALIGN_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One pair of matching points, left view then right view.
struct Match {
    double left_x, left_y, right_x, right_y;
};

// The right view against the left one.
struct Correction {
    double roll_degrees = 0;  // turned clockwise on the screen when positive
    double scale = 1;         // its size against the left's
    double shift = 0;         // moved down by about this many pixels (see moved_down)
    // Perspective (keystone): the vertical scale grows by `keystone_x` from
    // the centre to the right edge, and by `keystone_y` from the centre to
    // the bottom edge. Zero unless it lowered the error at held-out matches.
    double keystone_x = 0;
    double keystone_y = 0;
    // Both views turned clockwise by this much on top of their halves, so
    // that the direction in which depth moves points is level in both: the
    // halves alone leave it tilted by half the roll when the turn was all
    // the right view's (or the left's), and points at different depths then
    // at different heights. Zero unless it lowered the error at held-out
    // matches.
    double level_degrees = 0;
};

// The view's size in pixels.
struct ViewSize {
    double width, height;
};

// The outcome of an estimate. `refusal` is empty when the pair can be
// aligned with confidence; otherwise it says why not, in words.
struct Alignment {
    Correction correction;
    std::string refusal;
    size_t candidates = 0;     // matches that the estimator was given
    size_t consistent = 0;     // matches that agree with the correction
    double error_before = 0;   // mean vertical error of those matches as shot, pixels
    double error_after = 0;    // the same after the (rounded) correction
    bool keystone = false;     // whether the keystone terms were kept
    std::vector<size_t> used;  // which of the matches are the consistent ones
};

// Estimates the correction from candidate matches: a robust estimator with a
// fixed seed that scores only the vertical error, then least squares over the
// consistent matches; the keystone terms are kept only where they lower the
// error at matches left out of the fit. `tolerance` is the vertical error, in
// pixels, up to which a match counts as consistent at first (the matches' own
// precision). The result is rounded (round_correction), and refused when too
// few matches agree, when they leave the correction uncertain, or when it is
// beyond what a camera could produce.
Alignment estimate_alignment(const std::vector<Match>& matches, ViewSize size, double tolerance);

// Rounds the parameters to the steps in which they are applied and printed,
// so that the same estimate gives the same pixels on every platform: roll to
// 0.0001 degree, and so the levelling, scale and keystone to 0.000001,
// shift to 0.01 pixel.
Correction round_correction(const Correction& c);

// A projective transform of the plane: (x, y) goes to
// ((m[0] x + m[1] y + m[2]) / w, (m[3] x + m[4] y + m[5]) / w) with
// w = m[6] x + m[7] y + m[8].
struct Homography {
    double m[9];
};

Homography multiply(const Homography& a, const Homography& b);  // a after b
Homography inverse(const Homography& h);
void apply(const Homography& h, double x, double y, double* out_x, double* out_y);

// The half transform H of the correction (see above), in centred coordinates.
Homography half_transform(const Correction& c, ViewSize size);

// What the correction does to the left view (side +1: H) or to the right view
// (side -1: the inverse of H), each then turned by the levelling.
Homography view_transform(const Correction& c, ViewSize size, int side);

// How far the right view's centre lies below the left's, in pixels: the
// vertical offset of H applied twice.
double moved_down(const Correction& c, ViewSize size);

// The vertical error of one match under a correction: the row of the right
// point in the corrected right view minus that of the left point in the
// corrected left view.
double vertical_error(const Correction& c, const Match& m, ViewSize size);

// The largest rectangle of the views' own proportions that both corrected
// views cover, in centred coordinates: its size in whole pixels and where its
// top left corner lies.
struct Crop {
    int64_t width, height;
    double left, top;
};
Crop largest_common_crop(const Correction& c, ViewSize size);

// Sine and cosine by their series, for the angles of a camera (well under a
// radian): only additions, multiplications and divisions, which give the same
// bits on every platform, where the C library's functions may not.
double series_sin(double radians);
double series_cos(double radians);

#endif
