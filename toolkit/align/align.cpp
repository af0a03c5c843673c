#include "align.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The parameters, numbered as parameter() takes them: the similarity (roll,
// scale, shift), the levelling, and the two keystone terms.
constexpr int kAllParameters = 6;
constexpr int kLevel = 3, kKeystoneX = 4, kKeystoneY = 5;
// Steps of the numerical derivatives: far below what matters in a picture,
// far above the rounding of doubles.
constexpr double kDerivativeSteps[kAllParameters] = {1e-4, 1e-6, 1e-3, 1e-4, 1e-6, 1e-6};

// The parameters a fit adjusts (the others are kept as they are).
struct Model {
    int count;
    int index[kAllParameters];
};
constexpr Model kSimilarity = {3, {0, 1, 2}};
// The models weighed against the similarity, in the order in which each must
// do better than those before it.
constexpr Model kRicherModels[] = {
    {4, {0, 1, 2, kLevel}},
    {5, {0, 1, 2, kKeystoneX, kKeystoneY}},
    {6, {0, 1, 2, kLevel, kKeystoneX, kKeystoneY}},
};

// Gauss-Newton converges in a few steps from no correction, the model being
// nearly linear over the angles and scales of a camera.
constexpr int kFitIterations = 12;

// The robust estimator: a fixed seed and a fixed number of draws of three
// matches, so that the same matches always give the same result.
constexpr uint64_t kSeed = 0x9E3779B97F4A7C15ULL;
constexpr int kDraws = 1500;
// A hypothesis from three matches is taken seriously only within what a
// camera could produce (below).
constexpr double kMaxHypothesisSlope = 0.2;

// After the first fit the consistent matches are chosen again, three robust
// standard deviations around the fit (1.4826 times the median absolute
// residual), but never tighter than an eighth of the tolerance.
constexpr int kReselections = 4;
constexpr double kMadToSigma = 1.4826;
constexpr double kSigmas = 3;
constexpr double kTightestShare = 0.125;

// The levelling and the keystone terms are kept only when they lower the
// mean error at the matches left out of the fit, over five folds, by at least
// 1 %: less is what one or two more parameters gain from noise alone. And by
// at least 1/256 pixel, the step in which the resampler places pixels: on a
// pair that is aligned already, 1 % of its tiny error is no gain at all, and
// a levelling would turn both views for nothing.
constexpr size_t kFolds = 5;
constexpr double kModelGain = 0.99;
constexpr double kLeastGain = 1.0 / 256;

// Refusals. Forty consistent matches give the three parameters of the
// similarity to a small fraction of their spread; fewer, and two unrelated
// pictures or a featureless one (a lens cap, fog) could pass.
constexpr size_t kMinConsistent = 40;
// The largest corrections a stereo camera or a careful hand-held pair needs:
// beyond them the matches are wrong, or the views are not a stereo pair.
constexpr double kMaxRollDegrees = 5;
constexpr double kMaxScaleChange = 0.1;
constexpr double kMaxShiftShare = 0.1;  // of the height
constexpr double kMaxKeystone = 0.05;
// The correction must be known at the picture's corners to within half the
// tolerance (one standard deviation, from the spread of the residuals).
constexpr double kMaxCornerUncertainty = 0.5;

// Rounding steps (see round_correction).
constexpr double kRollSteps = 1e4;  // roll and levelling
constexpr double kScaleSteps = 1e6;
constexpr double kShiftSteps = 1e2;
constexpr double kKeystoneSteps = 1e6;

// Halvings of the crop's size: far finer than a pixel.
constexpr int kCropBisections = 50;
constexpr double kCropSlack = 1e-6;

double parameter(const Correction& c, int k) {
    switch (k) {
        case 0:
            return c.roll_degrees;
        case 1:
            return c.scale;
        case 2:
            return c.shift;
        case kLevel:
            return c.level_degrees;
        case kKeystoneX:
            return c.keystone_x;
        default:
            return c.keystone_y;
    }
}

void set_parameter(Correction* c, int k, double value) {
    switch (k) {
        case 0:
            c->roll_degrees = value;
            break;
        case 1:
            c->scale = value;
            break;
        case 2:
            c->shift = value;
            break;
        case kLevel:
            c->level_degrees = value;
            break;
        case kKeystoneX:
            c->keystone_x = value;
            break;
        default:
            c->keystone_y = value;
            break;
    }
}

// Both views' transforms of a correction, made once for many matches.
struct Transforms {
    Homography left, right;
};

Transforms transforms_of(const Correction& c, ViewSize size) {
    return {view_transform(c, size, 1), view_transform(c, size, -1)};
}

double error_under(const Transforms& t, const Match& m) {
    double x = 0, left_y = 0, right_y = 0;
    apply(t.left, m.left_x, m.left_y, &x, &left_y);
    apply(t.right, m.right_x, m.right_y, &x, &right_y);
    return right_y - left_y;
}

// Solves the n x n system a z = b (row-major) by elimination with partial
// pivoting; false when it is singular.
bool solve(std::vector<double> a, std::vector<double> b, int n, std::vector<double>* z) {
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row) {
            if (std::fabs(a[row * n + col]) > std::fabs(a[pivot * n + col])) pivot = row;
        }
        if (a[pivot * n + col] == 0) return false;
        for (int k = 0; k < n; ++k) std::swap(a[col * n + k], a[pivot * n + k]);
        std::swap(b[col], b[pivot]);
        for (int row = col + 1; row < n; ++row) {
            const double factor = a[row * n + col] / a[col * n + col];
            for (int k = col; k < n; ++k) a[row * n + k] -= factor * a[col * n + k];
            b[row] -= factor * b[col];
        }
    }
    z->assign(n, 0);
    for (int row = n - 1; row >= 0; --row) {
        double sum = b[row];
        for (int k = row + 1; k < n; ++k) sum -= a[row * n + k] * (*z)[k];
        (*z)[row] = sum / a[row * n + row];
    }
    return true;
}

// The derivatives of the vertical error of each match with respect to the
// parameters of a model, by central differences.
struct Linearised {
    std::vector<double> jtj, jtr;  // normal equations
    double squares = 0;            // sum of squared errors at the correction
};

std::vector<Transforms> perturbed(const Correction& c, const Model& model, ViewSize size) {
    std::vector<Transforms> t;
    for (int k = 0; k < model.count; ++k) {
        const int p = model.index[k];
        for (const double sign : {1.0, -1.0}) {
            Correction moved = c;
            set_parameter(&moved, p, parameter(c, p) + sign * kDerivativeSteps[p]);
            t.push_back(transforms_of(moved, size));
        }
    }
    return t;
}

void gradient(const std::vector<Transforms>& t, const Model& model, const Match& m, double* g) {
    for (int k = 0; k < model.count; ++k) {
        const size_t up = 2 * static_cast<size_t>(k);
        g[k] = (error_under(t[up], m) - error_under(t[up + 1], m)) / (2 * kDerivativeSteps[model.index[k]]);
    }
}

Linearised linearise(const std::vector<Match>& ms, const std::vector<size_t>& use, const Correction& c,
                     const Model& model, ViewSize size) {
    const int n = model.count;
    const Transforms base = transforms_of(c, size);
    const std::vector<Transforms> t = perturbed(c, model, size);
    Linearised l;
    l.jtj.assign(static_cast<size_t>(n) * static_cast<size_t>(n), 0);
    l.jtr.assign(n, 0);
    double g[kAllParameters];
    for (const size_t i : use) {
        const double r = error_under(base, ms[i]);
        gradient(t, model, ms[i], g);
        for (int a = 0; a < n; ++a) {
            for (int b = 0; b < n; ++b) l.jtj[a * n + b] += g[a] * g[b];
            l.jtr[a] += g[a] * r;
        }
        l.squares += r * r;
    }
    return l;
}

// Least squares over the matches `use`, from `start`, in the parameters of
// `model` (the others kept).
Correction fit(const std::vector<Match>& ms, const std::vector<size_t>& use, const Correction& start,
               const Model& model, ViewSize size) {
    Correction c = start;
    for (int iteration = 0; iteration < kFitIterations; ++iteration) {
        const Linearised l = linearise(ms, use, c, model, size);
        std::vector<double> step;
        if (!solve(l.jtj, l.jtr, model.count, &step)) break;
        double largest = 0;
        for (int k = 0; k < model.count; ++k) {
            const int p = model.index[k];
            set_parameter(&c, p, parameter(c, p) - step[k]);
            largest = std::max(largest, std::fabs(step[k]) / kDerivativeSteps[p]);
        }
        if (largest < 1e-3) break;
    }
    return c;
}

// xorshift64*: a small generator whose sequence is the same everywhere.
struct Random {
    uint64_t state = kSeed;
    size_t below(size_t n) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        // The remainder of the whole 53 bits: cut to a 32-bit size_t first,
        // the draws of 32-bit programs would differ from the others'.
        return static_cast<size_t>(((state * 0x2545F4914F6CDD1DULL) >> 11) % n);
    }
};

// The robust estimator: a row of the left view as a linear function of the
// right view's coordinates, y_l = a y_r + b x_r + c, from three matches at a
// time, scored by the vertical error alone (truncated squares). Returns the
// matches within the tolerance of the best hypothesis.
std::vector<size_t> consistent_matches(const std::vector<Match>& ms, double tolerance) {
    Random random;
    const double cap = tolerance * tolerance;
    double best_score = 0;
    double best[3] = {1, 0, 0};
    bool found = false;
    for (int draw = 0; draw < kDraws && ms.size() >= 3; ++draw) {
        const size_t i = random.below(ms.size()), j = random.below(ms.size()), k = random.below(ms.size());
        if (i == j || j == k || i == k) continue;
        std::vector<double> a = {ms[i].right_y, ms[i].right_x, 1, ms[j].right_y, ms[j].right_x, 1,
                                 ms[k].right_y, ms[k].right_x, 1};
        std::vector<double> z;
        if (!solve(a, {ms[i].left_y, ms[j].left_y, ms[k].left_y}, 3, &z)) continue;
        if (std::fabs(z[0] - 1) > kMaxHypothesisSlope || std::fabs(z[1]) > kMaxHypothesisSlope) continue;
        double score = 0;
        for (const Match& m : ms) {
            const double r = z[0] * m.right_y + z[1] * m.right_x + z[2] - m.left_y;
            score += std::min(r * r, cap);
        }
        if (!found || score < best_score) {
            found = true;
            best_score = score;
            std::copy(z.begin(), z.end(), best);
        }
    }
    std::vector<size_t> use;
    if (!found) return use;
    for (size_t i = 0; i < ms.size(); ++i) {
        const Match& m = ms[i];
        if (std::fabs(best[0] * m.right_y + best[1] * m.right_x + best[2] - m.left_y) <= tolerance)
            use.push_back(i);
    }
    return use;
}

std::vector<size_t> within(const std::vector<Match>& ms, const Correction& c, ViewSize size, double limit) {
    const Transforms t = transforms_of(c, size);
    std::vector<size_t> use;
    for (size_t i = 0; i < ms.size(); ++i) {
        if (std::fabs(error_under(t, ms[i])) <= limit) use.push_back(i);
    }
    return use;
}

double median_absolute_error(const std::vector<Match>& ms, const std::vector<size_t>& use,
                             const Correction& c, ViewSize size) {
    const Transforms t = transforms_of(c, size);
    std::vector<double> errors;
    errors.reserve(use.size());
    for (const size_t i : use) errors.push_back(std::fabs(error_under(t, ms[i])));
    if (errors.empty()) return 0;
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    return errors[errors.size() / 2];
}

double mean_absolute_error(const std::vector<Match>& ms, const std::vector<size_t>& use, const Correction& c,
                           ViewSize size) {
    const Transforms t = transforms_of(c, size);
    double sum = 0;
    for (const size_t i : use) sum += std::fabs(error_under(t, ms[i]));
    return use.empty() ? 0 : sum / static_cast<double>(use.size());
}

// The model whose fits lower the error most at matches left out of them:
// the similarity, unless a richer model does better than it (and than the
// richer ones before it) by the margin of kModelGain.
Model chosen_model(const std::vector<Match>& ms, const std::vector<size_t>& use, const Correction& similarity,
                   ViewSize size) {
    constexpr size_t kModels = 1 + sizeof kRicherModels / sizeof kRicherModels[0];
    double held_error[kModels] = {};
    for (size_t fold = 0; fold < kFolds; ++fold) {
        std::vector<size_t> train, held;
        for (size_t k = 0; k < use.size(); ++k) (k % kFolds == fold ? held : train).push_back(use[k]);
        const Correction plain = fit(ms, train, similarity, kSimilarity, size);
        const auto weight = static_cast<double>(held.size());
        held_error[0] += mean_absolute_error(ms, held, plain, size) * weight;
        for (size_t m = 1; m < kModels; ++m) {
            const Correction richer = fit(ms, train, plain, kRicherModels[m - 1], size);
            held_error[m] += mean_absolute_error(ms, held, richer, size) * weight;
        }
    }
    const auto count = static_cast<double>(use.size());
    size_t best = 0;
    for (size_t m = 1; m < kModels; ++m) {
        if (held_error[m] < kModelGain * held_error[best] &&
            held_error[best] - held_error[m] >= kLeastGain * count) {
            best = m;
        }
    }
    return best == 0 ? kSimilarity : kRicherModels[best - 1];
}

// One standard deviation of the vertical correction at the worst corner of
// the picture, from the spread of the residuals and where the matches lie.
double corner_uncertainty(const std::vector<Match>& ms, const std::vector<size_t>& use, const Correction& c,
                          const Model& model, ViewSize size) {
    const int n = model.count;
    const Linearised l = linearise(ms, use, c, model, size);
    const double variance = l.squares / static_cast<double>(use.size() - static_cast<size_t>(n));
    const std::vector<Transforms> t = perturbed(c, model, size);
    double worst = 0;
    for (const double x : {-0.5, 0.5}) {
        for (const double y : {-0.5, 0.5}) {
            const Match corner = {x * size.width, y * size.height, x * size.width, y * size.height};
            double g[kAllParameters];
            gradient(t, model, corner, g);
            std::vector<double> z;
            if (!solve(l.jtj, std::vector<double>(g, g + n), n, &z)) return HUGE_VAL;
            double spread = 0;
            for (int k = 0; k < n; ++k) spread += g[k] * z[k];
            worst = std::max(worst, std::sqrt(std::max(0.0, spread * variance)));
        }
    }
    return worst;
}

// The text of a format with the values it takes (doubles only).
template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char text[160];
    (void)snprintf(text, sizeof text, pattern, values...);
    return text;
}

// Why a correction is beyond what a camera could produce, or empty.
std::string implausible(const Correction& c, ViewSize size) {
    if (std::fabs(c.roll_degrees) > kMaxRollDegrees) {
        return format("the views would have to be turned by %.1f degrees (at most %.0f)", c.roll_degrees,
                      kMaxRollDegrees);
    }
    if (std::fabs(c.level_degrees) > kMaxRollDegrees) {
        return format("the views would have to be turned by %.1f degrees (at most %.0f)", c.level_degrees,
                      kMaxRollDegrees);
    }
    if (std::fabs(c.scale - 1) > kMaxScaleChange) {
        return format("the views would have to be scaled by %.1f %% (at most %.0f %%)", 100 * (c.scale - 1),
                      100 * kMaxScaleChange);
    }
    if (std::fabs(c.shift) > kMaxShiftShare * size.height) {
        return format("the views would have to be moved by %.0f pixels (at most %.0f)", c.shift,
                      kMaxShiftShare * size.height);
    }
    if (std::fabs(c.keystone_x) > kMaxKeystone || std::fabs(c.keystone_y) > kMaxKeystone) {
        return format("the views would need a keystone correction of %.1f %% (at most %.0f %%)",
                      100 * std::max(std::fabs(c.keystone_x), std::fabs(c.keystone_y)), 100 * kMaxKeystone);
    }
    return "";
}

struct Point {
    double x, y;
};

// The part of a convex polygon where a x + b y + c >= 0.
std::vector<Point> clip(const std::vector<Point>& polygon, double a, double b, double c) {
    std::vector<Point> kept;
    for (size_t k = 0; k < polygon.size(); ++k) {
        const Point p = polygon[k], q = polygon[(k + 1) % polygon.size()];
        const double vp = a * p.x + b * p.y + c, vq = a * q.x + b * q.y + c;
        if (vp >= 0) kept.push_back(p);
        if ((vp >= 0) != (vq >= 0)) {
            const double t = vp / (vp - vq);
            kept.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
        }
    }
    return kept;
}

std::string too_few(size_t found, size_t candidates) {
    return format("too few consistent matches between the views: %.0f of %.0f (at least 40 needed)",
                  static_cast<double>(found), static_cast<double>(candidates));
}

}  // namespace

double series_sin(double radians) {
    const double square = radians * radians;
    double term = radians, sum = radians;
    for (int k = 1; k <= 10; ++k) {
        term = -term * square / static_cast<double>((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}

double series_cos(double radians) {
    const double square = radians * radians;
    double term = 1, sum = 1;
    for (int k = 1; k <= 10; ++k) {
        term = -term * square / static_cast<double>((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sum;
}

Homography multiply(const Homography& a, const Homography& b) {
    Homography p{};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) sum += a.m[row * 3 + k] * b.m[k * 3 + col];
            p.m[row * 3 + col] = sum;
        }
    }
    return p;
}

Homography inverse(const Homography& h) {
    const double* m = h.m;
    const double cofactors[9] = {
        m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
        m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
        m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3],
    };
    const double determinant = m[0] * cofactors[0] + m[1] * cofactors[3] + m[2] * cofactors[6];
    Homography inv{};
    for (int k = 0; k < 9; ++k) inv.m[k] = cofactors[k] / determinant;
    return inv;
}

void apply(const Homography& h, double x, double y, double* out_x, double* out_y) {
    const double* m = h.m;
    const double w = m[6] * x + m[7] * y + m[8];
    *out_x = (m[0] * x + m[1] * y + m[2]) / w;
    *out_y = (m[3] * x + m[4] * y + m[5]) / w;
}

Homography rotation(double degrees) {
    const double angle = degrees * kPi / 180;
    const double cosine = series_cos(angle), sine = series_sin(angle);
    return {{cosine, -sine, 0, sine, cosine, 0, 0, 0, 1}};
}

Homography half_transform(const Correction& c, ViewSize size) {
    const double angle = c.roll_degrees * kPi / 180 / 2;
    const double cosine = series_cos(angle), sine = series_sin(angle);
    const double s = std::sqrt(c.scale);
    const Homography perspective = {
        {1, 0, 0, 0, 1, 0, -c.keystone_x / size.width, -c.keystone_y / size.height, 1}};
    const Homography turned_scaled_moved = {
        {s * cosine, -s * sine, 0, s * sine, s * cosine, c.shift / 2, 0, 0, 1}};
    return multiply(turned_scaled_moved, perspective);
}

Homography view_transform(const Correction& c, ViewSize size, int side) {
    const Homography half = half_transform(c, size);
    return multiply(rotation(c.level_degrees), side > 0 ? half : inverse(half));
}

double moved_down(const Correction& c, ViewSize size) {
    const Homography half = half_transform(c, size);
    double x = 0, y = 0;
    apply(multiply(half, half), 0, 0, &x, &y);
    return y;
}

double vertical_error(const Correction& c, const Match& m, ViewSize size) {
    return error_under(transforms_of(c, size), m);
}

Correction round_correction(const Correction& c) {
    Correction r;
    r.roll_degrees = std::round(c.roll_degrees * kRollSteps) / kRollSteps;
    r.level_degrees = std::round(c.level_degrees * kRollSteps) / kRollSteps;
    r.scale = std::round(c.scale * kScaleSteps) / kScaleSteps;
    r.shift = std::round(c.shift * kShiftSteps) / kShiftSteps;
    r.keystone_x = std::round(c.keystone_x * kKeystoneSteps) / kKeystoneSteps;
    r.keystone_y = std::round(c.keystone_y * kKeystoneSteps) / kKeystoneSteps;
    return r;
}

Alignment estimate_alignment(const std::vector<Match>& matches, ViewSize size, double tolerance) {
    Alignment a;
    a.candidates = matches.size();
    std::vector<size_t> use = consistent_matches(matches, tolerance);
    if (use.size() < kMinConsistent) {
        a.consistent = use.size();
        a.refusal = too_few(use.size(), matches.size());
        return a;
    }
    Correction c = fit(matches, use, Correction(), kSimilarity, size);
    double limit = tolerance;
    for (int round = 0; round < kReselections; ++round) {
        use = within(matches, c, size, limit);
        if (use.size() < kMinConsistent) break;
        c = fit(matches, use, c, kSimilarity, size);
        const double spread = kSigmas * kMadToSigma * median_absolute_error(matches, use, c, size);
        limit = std::min(tolerance, std::max(kTightestShare * tolerance, spread));
    }
    use = within(matches, c, size, limit);
    a.consistent = use.size();
    if (use.size() < kMinConsistent) {
        a.refusal = too_few(use.size(), matches.size());
        return a;
    }
    c = fit(matches, use, c, kSimilarity, size);
    const Model model = chosen_model(matches, use, c, size);
    c = fit(matches, use, c, model, size);
    a.keystone = model.index[model.count - 1] == kKeystoneY;
    a.correction = round_correction(c);
    a.refusal = implausible(a.correction, size);
    if (!a.refusal.empty()) return a;
    const double uncertainty = corner_uncertainty(matches, use, c, model, size);
    if (!(uncertainty <= kMaxCornerUncertainty * tolerance)) {
        a.refusal =
            format("the matches leave the correction uncertain by %.1f pixels at the corners", uncertainty);
        return a;
    }
    double before = 0;
    for (const size_t i : use) before += std::fabs(matches[i].right_y - matches[i].left_y);
    a.error_before = before / static_cast<double>(use.size());
    a.error_after = mean_absolute_error(matches, use, a.correction, size);
    a.used = use;
    return a;
}

Crop largest_common_crop(const Correction& c, ViewSize size) {
    const double half_width = size.width / 2, half_height = size.height / 2;
    const double corners[4][2] = {{-half_width, -half_height},
                                  {half_width, -half_height},
                                  {half_width, half_height},
                                  {-half_width, half_height}};
    // The outlines of both corrected views, corners in the same turning order
    // as the picture's, in which a point inside lies left of every edge.
    const Transforms t = transforms_of(c, size);
    std::vector<Point> outlines[2];
    for (const double* corner : corners) {
        Point p;
        apply(t.left, corner[0], corner[1], &p.x, &p.y);
        outlines[0].push_back(p);
        apply(t.right, corner[0], corner[1], &p.x, &p.y);
        outlines[1].push_back(p);
    }
    // The rectangle's centre for a share f of the picture's size: for each
    // of its corners and each edge of the outlines, a half-plane.
    const auto centres = [&](double f) {
        std::vector<Point> region = {{-size.width, -size.height},
                                     {size.width, -size.height},
                                     {size.width, size.height},
                                     {-size.width, size.height}};
        for (const std::vector<Point>& outline : outlines) {
            for (size_t e = 0; e < outline.size() && !region.empty(); ++e) {
                const Point a = outline[e], b = outline[(e + 1) % outline.size()];
                for (const double* corner : corners) {
                    const double ox = f * corner[0], oy = f * corner[1];
                    const double ex = b.x - a.x, ey = b.y - a.y;
                    region = clip(region, -ey, ex, ex * (oy - a.y) - ey * (ox - a.x));
                }
            }
        }
        return region;
    };
    double low = 0, high = 1;
    for (int step = 0; step < kCropBisections; ++step) {
        const double middle = (low + high) / 2;
        (centres(middle).empty() ? high : low) = middle;
    }
    const std::vector<Point> region = centres(low);
    Point centre = {0, 0};
    for (const Point& p : region) {
        centre.x += p.x / static_cast<double>(region.size());
        centre.y += p.y / static_cast<double>(region.size());
    }
    Crop crop;
    // The halvings stop short of a whole share: a millionth of a pixel more
    // keeps the whole picture when nothing is corrected.
    crop.width = static_cast<int64_t>(std::floor(low * size.width + kCropSlack));
    crop.height = static_cast<int64_t>(std::floor(low * size.height + kCropSlack));
    crop.left = centre.x - static_cast<double>(crop.width) / 2;
    crop.top = centre.y - static_cast<double>(crop.height) / 2;
    return crop;
}
