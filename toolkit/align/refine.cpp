#include "refine.hpp"

#include <cmath>

namespace {

// A patch of 15 x 15 pixels of the finer copy: enough texture for most
// keypoints, small enough that depth changes little across it.
constexpr int kHalfPatch = 7;
constexpr int kIterations = 10;
constexpr double kConverged = 0.01;  // pixels of the finer copy
constexpr double kMaxMove = 2.0;     // pixels of the finer copy, from the match found
// Patches whose gradients are too weak or all in one direction (an edge, a
// flat sky) cannot be placed vertically: the smaller eigenvalue of their
// structure tensor per pixel, in grey levels squared, must reach this.
constexpr double kMinTexture = 4.0;

// Bilinear sample at index coordinates; false outside the copy.
bool sample(const GreyView& v, double x, double y, double* value) {
    if (!(x >= 0 && y >= 0 && x <= v.width - 1 && y <= v.height - 1)) return false;
    auto x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    if (x0 == v.width - 1) --x0;
    if (y0 == v.height - 1) --y0;
    if (x0 < 0 || y0 < 0) return false;
    const double fx = x - x0, fy = y - y0;
    const unsigned char* p = v.pixels.data() + static_cast<size_t>(y0) * static_cast<size_t>(v.width) + x0;
    const unsigned char* q = p + v.width;
    const double top = p[0] + fx * (p[1] - p[0]);
    const double bottom = q[0] + fx * (q[1] - q[0]);
    *value = top + fy * (bottom - top);
    return true;
}

// Centred full-size coordinates to the index coordinates of a copy, and back.
double to_index(double centred, double extent, int factor) {
    return (centred + extent / 2) / factor - 0.5;
}
double to_centred(double index, double extent, int factor) {
    return (index + 0.5) * factor - extent / 2;
}

constexpr int kSide = 2 * kHalfPatch + 1;
constexpr int kPixels = kSide * kSide;

struct Patch {
    double value[kPixels];
    double gx[kPixels], gy[kPixels];
    double mean = 0, deviation = 0;
    double xx = 0, xy = 0, yy = 0;  // structure tensor
};

bool make_patch(const GreyView& v, double x, double y, Patch* t) {
    int k = 0;
    for (int dy = -kHalfPatch; dy <= kHalfPatch; ++dy) {
        for (int dx = -kHalfPatch; dx <= kHalfPatch; ++dx, ++k) {
            double c = 0, l = 0, r = 0, u = 0, d = 0;
            if (!sample(v, x + dx, y + dy, &c) || !sample(v, x + dx - 1, y + dy, &l) ||
                !sample(v, x + dx + 1, y + dy, &r) || !sample(v, x + dx, y + dy - 1, &u) ||
                !sample(v, x + dx, y + dy + 1, &d)) {
                return false;
            }
            t->value[k] = c;
            t->gx[k] = (r - l) / 2;
            t->gy[k] = (d - u) / 2;
            t->mean += c;
            t->xx += t->gx[k] * t->gx[k];
            t->xy += t->gx[k] * t->gy[k];
            t->yy += t->gy[k] * t->gy[k];
        }
    }
    t->mean /= kPixels;
    for (const double value : t->value) t->deviation += (value - t->mean) * (value - t->mean);
    t->deviation = std::sqrt(t->deviation / kPixels);
    const double trace = (t->xx + t->yy) / 2, determinant = t->xx * t->yy - t->xy * t->xy;
    const double smaller = trace - std::sqrt(std::fmax(0.0, trace * trace - determinant));
    return smaller / kPixels >= kMinTexture && t->deviation > 0;
}

// The Jacobian of the right view as shot against the left one at a point:
// how a step in the left view moves its match in the right view.
void local_map(const Correction& c, ViewSize size, double x, double y, double j[4]) {
    const Homography half = half_transform(c, size);
    const Homography whole = multiply(half, half);
    double ax = 0, ay = 0, bx = 0, by = 0;
    apply(whole, x + 1, y, &ax, &ay);
    apply(whole, x - 1, y, &bx, &by);
    j[0] = (ax - bx) / 2;
    j[2] = (ay - by) / 2;
    apply(whole, x, y + 1, &ax, &ay);
    apply(whole, x, y - 1, &bx, &by);
    j[1] = (ax - bx) / 2;
    j[3] = (ay - by) / 2;
}

// Moves (x, y), index coordinates of the right copy, to where the patch
// fits; false when it cannot be placed.
bool place(const Patch& t, const GreyView& right, const double j[4], double* x, double* y) {
    const double start_x = *x, start_y = *y;
    const double determinant = t.xx * t.yy - t.xy * t.xy;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        double samples[kPixels];
        double mean = 0;
        int k = 0;
        for (int dy = -kHalfPatch; dy <= kHalfPatch; ++dy) {
            for (int dx = -kHalfPatch; dx <= kHalfPatch; ++dx, ++k) {
                if (!sample(right, *x + j[0] * dx + j[1] * dy, *y + j[2] * dx + j[3] * dy, &samples[k])) {
                    return false;
                }
                mean += samples[k];
            }
        }
        mean /= kPixels;
        double deviation = 0;
        for (const double s : samples) deviation += (s - mean) * (s - mean);
        deviation = std::sqrt(deviation / kPixels);
        if (deviation == 0) return false;
        const double gain = t.deviation / deviation;
        double bx = 0, by = 0;
        for (k = 0; k < kPixels; ++k) {
            const double e = gain * (samples[k] - mean) - (t.value[k] - t.mean);
            bx += t.gx[k] * e;
            by += t.gy[k] * e;
        }
        const double ax = (t.yy * bx - t.xy * by) / determinant;
        const double ay = (t.xx * by - t.xy * bx) / determinant;
        *x -= j[0] * ax + j[1] * ay;
        *y -= j[2] * ax + j[3] * ay;
        if (std::fabs(*x - start_x) > kMaxMove || std::fabs(*y - start_y) > kMaxMove) return false;
        if (std::fabs(ax) < kConverged && std::fabs(ay) < kConverged) return true;
    }
    return true;
}

}  // namespace

int refine_factor(size_t width) {
    return static_cast<int>((width + kRefineWidth - 1) / kRefineWidth);
}

std::vector<Match> refine_matches(const std::vector<Match>& matches, const std::vector<size_t>& use,
                                  const Correction& c, const GreyView& left, const GreyView& right,
                                  ViewSize size) {
    std::vector<Match> refined;
    const int f = left.factor;
    for (const size_t i : use) {
        const Match& m = matches[i];
        Patch t;
        if (!make_patch(left, to_index(m.left_x, size.width, f), to_index(m.left_y, size.height, f), &t))
            continue;
        double j[4];
        local_map(c, size, m.left_x, m.left_y, j);
        double x = to_index(m.right_x, size.width, f), y = to_index(m.right_y, size.height, f);
        if (!place(t, right, j, &x, &y)) continue;
        refined.push_back({m.left_x, m.left_y, to_centred(x, size.width, f), to_centred(y, size.height, f)});
    }
    return refined;
}
