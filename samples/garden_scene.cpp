// The garden seen from two eye positions.
//
// The picture is a 2.5-D scene on a fixed canvas of "scene units", mapped onto
// whatever pixel size is asked for, so a 7x5 and a 10 MP render show the same
// garden. Depth comes from a pinhole camera at eye height above a flat lawn:
// a ground point `delta` units below the horizon on screen is at distance
// proportional to 1 / delta, so its disparity is proportional to delta, and
// objects standing on the lawn take the disparity of the row they stand on.
// Textures are value noise in the objects' own coordinates, so they move with
// the objects between the views; only the sensor grain is tied to pixels.
//
// Integer arithmetic throughout keeps the output identical on every machine.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "stereo_sample.hpp"

namespace {

using i64 = std::int64_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Canvas: 4:3 like most camera sensors, fine enough that a scene unit is
// well below a pixel even at 10 MP (65536 / 3648 = 18 units per pixel).
constexpr i64 kCanvasWidth = 65536;
constexpr i64 kCanvasHeight = 49152;
constexpr i64 kCentreX = kCanvasWidth / 2;
constexpr i64 kCentreY = kCanvasHeight / 2;
constexpr i64 kHorizon = 20480;  // a little above the middle: more lawn than sky

// Camera: focal length in scene units (a 53 degree horizontal field of view)
// and eye height in lawn texture units, chosen equal to the bottom row's
// distance below the horizon so the lawn texture is 1:1 at the bottom edge.
constexpr i64 kFocal = 65536;
constexpr i64 kEyeHeight = kCanvasHeight - kHorizon;

// Half the disparity of a lawn row is its distance below the horizon divided
// by this: the bottom edge is 2048 units (3.1 % of the width) apart between
// the views, a strong but comfortable depth for a close-up.
constexpr i64 kHalfDisparityDivisor = 28;

// Fixed-point scales: unit vectors and shading factors in 1/4096, colour
// blends and coverage in 1/256, noise values in 1/65536.
constexpr i64 kOne12 = 4096;
constexpr int kFull = 256;
constexpr int kNoiseMid = 32768;

// Keeps noise coordinates positive, so lattice cells come from plain shifts.
// Scene coordinates stay far below it (lawn texture reaches about 2^31).
constexpr i64 kNoiseBias = i64(1) << 40;
// Shifts each octave's lattice so that octaves do not share lattice points.
constexpr i64 kOctaveOffset = 7919;

// Noise seeds: any values, one per texture so that textures do not repeat
// each other. Octaves add 0..9 to them, hence the spacing.
constexpr u32 kSeedClouds = 100;
constexpr u32 kSeedMountains = 200;
constexpr u32 kSeedHills = 300;
constexpr u32 kSeedForest = 400;
constexpr u32 kSeedLawnPatches = 500;
constexpr u32 kSeedLawnBlades = 600;
constexpr u32 kSeedPath = 700;
constexpr u32 kSeedGravel = 800;
constexpr u32 kSeedFlowers = 900;
constexpr u32 kSeedBark = 1000;
constexpr u32 kSeedCrown = 1100;
constexpr u32 kSeedLeaves = 1200;
constexpr u32 kSeedWood = 1300;
constexpr u32 kSeedBall = 1400;
constexpr u32 kSeedGrain = 1500;

struct Rgb {
    int r, g, b;
};

int clamp_int(i64 v, i64 lo, i64 hi) {
    return int(std::min(std::max(v, lo), hi));
}

// a + (b - a) * t / 256
Rgb mix(Rgb a, Rgb b, int t) {
    return {a.r + (b.r - a.r) * t / kFull, a.g + (b.g - a.g) * t / kFull, a.b + (b.b - a.b) * t / kFull};
}

// c * f / 256
Rgb scale(Rgb c, int f) {
    return {c.r * f / kFull, c.g * f / kFull, c.b * f / kFull};
}

Rgb add(Rgb c, int v) {
    return {c.r + v, c.g + v, c.b + v};
}

// 0..256 from a signed distance to an edge (positive inside) and the pixel
// size: a one-pixel ramp centred on the edge, the cheapest antialiasing that
// keeps JPEG blocks on edges looking like a photograph's.
int coverage(i64 distance, i64 pixel) {
    return clamp_int(distance * kFull / pixel + kFull / 2, 0, kFull);
}

// 0..256 as v goes from lo to hi.
int ramp(i64 v, i64 lo, i64 hi) {
    return clamp_int((v - lo) * kFull / (hi - lo), 0, kFull);
}

u64 isqrt(u64 v) {
    // sqrt of a double is correctly rounded everywhere; the loops make the
    // result exact for values beyond 2^52.
    u64 r = u64(std::sqrt(double(v)));
    while (r > 0 && r * r > v) --r;
    while ((r + 1) * (r + 1) <= v) ++r;
    return r;
}

u32 hash(u32 x, u32 y, u32 seed) {
    // Odd multipliers to spread the inputs, then the usual 32-bit finaliser.
    u32 h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

// Fraction of a lattice cell as 0..65535, eased with 3t^2 - 2t^3 so that
// the noise has no visible creases at cell borders.
u64 eased_fraction(u64 coordinate, int shift) {
    const u64 f = coordinate & ((u64(1) << shift) - 1);
    const u64 t = shift >= 16 ? f >> (shift - 16) : f << (16 - shift);
    return (t * t * (3 * u64(65536) - 2 * t)) >> 32;
}

// Bilinear value noise, 0..65535, on a lattice of 2^shift units.
int value_noise(i64 x, i64 y, int shift, u32 seed) {
    const u64 ux = u64(x + kNoiseBias);
    const u64 uy = u64(y + kNoiseBias);
    const u32 cx = u32(ux >> shift);
    const u32 cy = u32(uy >> shift);
    const u64 fx = eased_fraction(ux, shift);
    const u64 fy = eased_fraction(uy, shift);
    const u64 v00 = hash(cx, cy, seed) >> 16;
    const u64 v10 = hash(cx + 1, cy, seed) >> 16;
    const u64 v01 = hash(cx, cy + 1, seed) >> 16;
    const u64 v11 = hash(cx + 1, cy + 1, seed) >> 16;
    const u64 top = (v00 * (65536 - fx) + v10 * fx) >> 16;
    const u64 bottom = (v01 * (65536 - fx) + v11 * fx) >> 16;
    return int((top * (65536 - fy) + bottom * fy) >> 16);
}

int value_noise_1d(i64 x, int shift, u32 seed) {
    const u64 ux = u64(x + kNoiseBias);
    const u32 cx = u32(ux >> shift);
    const u64 fx = eased_fraction(ux, shift);
    const u64 v0 = hash(cx, 0, seed) >> 16;
    const u64 v1 = hash(cx + 1, 0, seed) >> 16;
    return int((v0 * (65536 - fx) + v1 * fx) >> 16);
}

// Weight 0..256 of an octave whose cells are `cell` units wide, seen through
// a pixel `footprint` units wide: octaves finer than two pixels fade to their
// mean instead of aliasing into noise, which is also what keeps small
// renders from compressing like static. Cells halve from one octave to the
// next, so at most one octave is ever part-way, and only it pays a division.
int octave_weight(i64 cell, i64 footprint) {
    if (cell >= 4 * footprint) return kFull;
    if (cell <= 2 * footprint) return 0;
    return int((cell - 2 * footprint) * kFull / (2 * footprint));
}

// Sum of `octaves` octaves of value noise (1-D if `noise_2d` is false), the
// coarsest on 2^shift units, each next one half the size and half the
// amplitude. 0..65535.
int octave_sum(i64 x, i64 y, int shift, int octaves, i64 footprint, u32 seed, bool noise_2d) {
    i64 total = 0;
    i64 weights = 0;
    for (int i = 0; i < octaves && shift - i >= 1; ++i) {
        const i64 amplitude = i64(1) << (octaves - 1 - i);
        weights += amplitude * kFull;
        const int w = octave_weight(i64(1) << (shift - i), footprint);
        if (w == 0) {
            total += amplitude * kFull * kNoiseMid;
            continue;
        }
        const i64 n =
            noise_2d ? value_noise(x + i * kOctaveOffset, y - i * kOctaveOffset, shift - i, seed + u32(i))
                     : value_noise_1d(x + i * kOctaveOffset, shift - i, seed + u32(i));
        total += amplitude * (w * n + (kFull - w) * i64(kNoiseMid));
    }
    // Every caller asks for octaves on a lattice of two units or more, so
    // there is always one; without any, the noise is flat at its middle.
    if (weights == 0) return kNoiseMid;
    return int(total / weights);
}

int fractal_noise(i64 x, i64 y, int shift, int octaves, i64 footprint, u32 seed) {
    return octave_sum(x, y, shift, octaves, footprint, seed, true);
}

int fractal_noise_1d(i64 x, int shift, int octaves, i64 footprint, u32 seed) {
    return octave_sum(x, 0, shift, octaves, footprint, seed, false);
}

// Sums of octaves cluster around the middle; this spreads the useful part of
// that range over 0..256.
int contrast(int noise) {
    return ramp(noise, 20000, 45000);
}

// Half the disparity, in scene units, of something standing `delta` units
// below the horizon.
i64 half_disparity(i64 delta) {
    return delta / kHalfDisparityDivisor;
}

// ---------------------------------------------------------------- sky and land

// Sky colours: a clear deep blue overhead fading to a pale hazy horizon.
constexpr Rgb kSkyTop = {58, 108, 188};
constexpr Rgb kSkyHorizon = {188, 206, 224};
constexpr Rgb kCloudShadow = {172, 180, 196};
constexpr Rgb kCloudLight = {248, 248, 250};
// Clouds: 2^14-unit puffs, squashed vertically 5:2 like fair-weather cumulus.
constexpr int kCloudShift = 14;
constexpr i64 kCloudSquash = 5;
constexpr i64 kCloudSquashBy = 2;

// Far mountains and nearer wooded hills, as ridge lines above the horizon.
// The hills stand on the lawn `kHillBase` units below the horizon, which also
// gives them their (small) disparity; the mountains are nearly at infinity.
constexpr i64 kHillBase = 1400;
constexpr i64 kHillLow = 900;
constexpr i64 kHillRise = 3200;
constexpr i64 kMountainHalfDisparity = 12;
constexpr i64 kMountainLow = 1600;
constexpr i64 kMountainRise = 7400;
constexpr Rgb kMountainColour = {104, 122, 156};
constexpr Rgb kSnow = {236, 240, 246};
constexpr Rgb kHillDark = {44, 74, 48};
constexpr Rgb kHillLight = {92, 124, 72};

// Lawn: two greens, broad patches, blades stretched 4:1 along the view, and
// mowing stripes 2^13 texture units wide running away from the camera.
constexpr Rgb kLawnDark = {38, 82, 28};
constexpr Rgb kLawnLight = {112, 156, 58};
constexpr i64 kBladeStretch = 4;
constexpr int kStripeShift = 13;
constexpr int kStripeTone = 14;
// Gravel path winding away from the camera, 8000 texture units wide.
constexpr i64 kPathCentre = 2500;
constexpr i64 kPathSwing = 9000;
constexpr i64 kPathHalfWidth = 4000;
constexpr Rgb kGravel = {168, 152, 128};
// Flowers: at most one in each 2^11 texture unit cell, in about 1 cell of 9.
constexpr int kFlowerCellShift = 11;
constexpr u32 kFlowerChance = 28;  // out of 256
constexpr i64 kFlowerMinRadius = 220;
constexpr Rgb kFlowerColours[] = {{214, 38, 52}, {238, 204, 40}, {242, 240, 232}, {150, 78, 192}};
// Distance haze: half strength this far below the horizon.
constexpr i64 kHazeDelta = 1500;

// --------------------------------------------------------------------- objects

// Two trees far back, a wooden crate in the middle distance and a beach ball
// close to the camera, each placed by the lawn row it stands on (its base)
// and sized in proportion to that row's distance below the horizon, so that
// sizes and disparities agree as they would in a photograph.
struct Tree {
    i64 x, base;
};
constexpr Tree kTrees[] = {{54000, kHorizon + 3400}, {11000, kHorizon + 5800}};  // far first

struct Crate {
    i64 x, base;
};
constexpr Crate kCrate = {45500, kHorizon + 13000};
// The crate's back is this fraction further than its front (seen from the
// camera, the back edges shrink towards the centre of the picture by it).
constexpr i64 kCrateBackNum = 4;
constexpr i64 kCrateBackDen = 5;
constexpr int kCratePlanks = 4;
// Gaps between planks, as a fraction of a plank.
constexpr i64 kPlankGapDivisor = 40;
// Offsets into the grain noise so that no two planks or faces share grain.
constexpr i64 kPlankGrainOffset = 20011;
constexpr i64 kSideGrainOffset = 50000;

struct Ball {
    i64 x, base;
};
constexpr Ball kBall = {21000, kHorizon + 24000};

constexpr Rgb kBark = {92, 66, 44};
constexpr Rgb kLeavesDark = {22, 52, 20};
constexpr Rgb kLeavesLight = {104, 146, 52};
constexpr Rgb kWoodDark = {112, 74, 40};
constexpr Rgb kWoodLight = {184, 136, 82};
// Indexed by which side of the three gore planes a point is on: going round
// the ball the sides run 3, 7, 6, 4, 0, 1, so colours alternate with white.
// 2 and 5 cannot occur.
constexpr Rgb kWhite = {245, 245, 240};
// The white caps reach 20 degrees from the poles: cos 20 = 0.94, in 1/4096.
constexpr i64 kCapCosine = 3850;
constexpr Rgb kBallColours[8] = {{246, 200, 30}, kWhite, kWhite,        {210, 36, 40},
                                 kWhite,         kWhite, {40, 90, 200}, kWhite};

// Light from the upper left and slightly in front, as a unit vector in 1/4096
// (x right, y down, z towards the camera), and the half-way vector between it
// and the view direction for the highlights.
constexpr i64 kLightX = -1843, kLightY = -2662, kLightZ = 2499;
constexpr i64 kHalfX = -1028, kHalfY = -1483, kHalfZ = 3678;

// Finishing: corners 20 % darker, like most lenses, and up to +-6 levels of
// grain, about what a camera leaves at its lowest sensitivity.
constexpr int kVignette = 52;
constexpr int kGrain = 6;

struct Vec3 {
    i64 x, y, z;
};

Vec3 normalised(Vec3 v) {
    const i64 length = i64(isqrt(u64(v.x * v.x + v.y * v.y + v.z * v.z)));
    return {v.x * kOne12 / length, v.y * kOne12 / length, v.z * kOne12 / length};
}

i64 dot(Vec3 a, Vec3 b) {
    return (a.x * b.x + a.y * b.y + a.z * b.z) / kOne12;
}

Vec3 cross(Vec3 a, Vec3 b) {
    return {(a.y * b.z - a.z * b.y) / kOne12, (a.z * b.x - a.x * b.z) / kOne12,
            (a.x * b.y - a.y * b.x) / kOne12};
}

// Diffuse shading factor in 1/256 for a unit normal: a quarter ambient.
int diffuse(Vec3 n) {
    const i64 lambert = std::max<i64>(0, n.x * kLightX + n.y * kLightY + n.z * kLightZ) / kOne12;
    return int(64 + lambert * 192 / kOne12);
}

// Convex polygon with inward edge normals, for the crate's faces.
struct Polygon {
    i64 nx[4] = {}, ny[4] = {}, c[4] = {};
    i64 min_x = 0, max_x = 0, min_y = 0, max_y = 0;
};

Polygon make_polygon(const i64 (&xs)[4], const i64 (&ys)[4]) {
    Polygon p;
    const i64 cx = (xs[0] + xs[1] + xs[2] + xs[3]) / 4;
    const i64 cy = (ys[0] + ys[1] + ys[2] + ys[3]) / 4;
    p.min_x = *std::min_element(xs, xs + 4);
    p.max_x = *std::max_element(xs, xs + 4);
    p.min_y = *std::min_element(ys, ys + 4);
    p.max_y = *std::max_element(ys, ys + 4);
    for (int i = 0; i < 4; ++i) {
        const int j = (i + 1) % 4;
        const i64 ex = xs[j] - xs[i];
        const i64 ey = ys[j] - ys[i];
        const i64 length = std::max<i64>(1, i64(isqrt(u64(ex * ex + ey * ey))));
        i64 nx = -ey * kOne12 / length;
        i64 ny = ex * kOne12 / length;
        if (nx * (cx - xs[i]) + ny * (cy - ys[i]) < 0) {
            nx = -nx;
            ny = -ny;
        }
        p.nx[i] = nx;
        p.ny[i] = ny;
        p.c[i] = nx * xs[i] + ny * ys[i];
    }
    return p;
}

// Signed distance from the polygon's outline, positive inside.
i64 polygon_distance(const Polygon& p, i64 x, i64 y) {
    i64 d = std::numeric_limits<i64>::max();
    for (int i = 0; i < 4; ++i) d = std::min(d, (p.nx[i] * x + p.ny[i] * y - p.c[i]) / kOne12);
    return d;
}

// Everything that depends on the eye or the picture size but not the pixel.
struct Setup {
    i64 upp;        // scene units per pixel
    i64 eye_sign;   // +1 left, -1 right: the left view sees near things to the right
    i64 hill_half;  // half disparity of the hills

    struct TreeSetup {
        i64 x, base, shift;
        i64 trunk_top, trunk_half, crown_y, crown_r, wobble;
        int leaf_shift;
        i64 left, right, top;
    } trees[2];

    struct CrateSetup {
        i64 shift_front, shift_back;
        i64 left, top, height, width;  // the front face, cyclopean
        Polygon front, top_face, side;
        i64 side_front_x, side_back_x, side_top_front, side_top_back, side_bottom_front, side_bottom_back;
        i64 min_x, max_x, min_y, max_y;
    } crate;

    struct BallSetup {
        i64 x, y, r, shift;
        Vec3 axis, planes[3];
    } ball;

    struct Shadow {
        i64 x, y, rx, ry, shift;
        int strength;
    } shadows[4];
};

// A soft shadow on the lawn under something `rx` units wide standing at
// (x, base); the lawn foreshortens it by delta / focal.
Setup::Shadow shadow_below(i64 x, i64 base, i64 rx, i64 shift, int strength) {
    return {x, base, rx, std::max<i64>(1, rx * (base - kHorizon) / kFocal), shift, strength};
}

// A unit vector `p` turned by +-60 degrees about the axis whose cross
// product with it is `q`.
Vec3 turned_60(Vec3 p, Vec3 q, i64 sign) {
    const i64 cos60 = kOne12 / 2;
    const i64 sin60 = 3547;  // sqrt(3) / 2 in 1/4096
    return {(sign * p.x * cos60 + q.x * sin60) / kOne12, (sign * p.y * cos60 + q.y * sin60) / kOne12,
            (sign * p.z * cos60 + q.z * sin60) / kOne12};
}

Setup make_setup(i64 upp, int eye) {
    Setup s{};
    s.upp = upp;
    s.eye_sign = eye == 0 ? 1 : -1;
    s.hill_half = half_disparity(kHillBase);

    for (int i = 0; i < 2; ++i) {
        Setup::TreeSetup& t = s.trees[i];
        const i64 delta = kTrees[i].base - kHorizon;
        t.x = kTrees[i].x;
        t.base = kTrees[i].base;
        t.shift = s.eye_sign * half_disparity(delta);
        // Proportions of a small round-headed garden tree about 2.3 eye
        // heights tall.
        t.trunk_top = t.base - delta * 95 / 100;
        t.trunk_half = delta * 5 / 100;
        t.crown_r = delta * 75 / 100;
        t.crown_y = t.base - delta * 150 / 100;
        t.wobble = delta * 16 / 100;
        t.leaf_shift = 1;
        while ((i64(1) << (t.leaf_shift + 1)) <= t.crown_r / 6) ++t.leaf_shift;
        t.left = t.x - t.crown_r - t.wobble;
        t.right = t.x + t.crown_r + t.wobble;
        t.top = t.crown_y - t.crown_r - t.wobble;
        s.shadows[i] = shadow_below(t.x, t.base, t.crown_r * 9 / 10, t.shift, 90);
    }

    {
        Setup::CrateSetup& c = s.crate;
        const i64 delta = kCrate.base - kHorizon;
        const i64 back_delta = delta * kCrateBackNum / kCrateBackDen;
        c.shift_front = s.eye_sign * half_disparity(delta);
        c.shift_back = s.eye_sign * half_disparity(back_delta);
        // A crate of 0.6 x 0.45 eye heights, seen from its front-left.
        c.width = delta * 60 / 100;
        c.height = delta * 45 / 100;
        c.left = kCrate.x - c.width / 2;
        c.top = kCrate.base - c.height;
        const i64 right = c.left + c.width;
        const i64 bottom = kCrate.base;
        auto back_x = [](i64 x) { return kCentreX + (x - kCentreX) * kCrateBackNum / kCrateBackDen; };
        auto back_y = [](i64 y) { return kHorizon + (y - kHorizon) * kCrateBackNum / kCrateBackDen; };
        const i64 ff = c.shift_front;
        const i64 fb = c.shift_back;
        c.front =
            make_polygon({c.left + ff, right + ff, right + ff, c.left + ff}, {c.top, c.top, bottom, bottom});
        c.top_face = make_polygon({c.left + ff, right + ff, back_x(right) + fb, back_x(c.left) + fb},
                                  {c.top, c.top, back_y(c.top), back_y(c.top)});
        c.side_front_x = c.left + ff;
        c.side_back_x = back_x(c.left) + fb;
        c.side_top_front = c.top;
        c.side_top_back = back_y(c.top);
        c.side_bottom_front = bottom;
        c.side_bottom_back = back_y(bottom);
        c.side = make_polygon({c.side_back_x, c.side_front_x, c.side_front_x, c.side_back_x},
                              {c.side_top_back, c.side_top_front, c.side_bottom_front, c.side_bottom_back});
        c.min_x = std::min({c.front.min_x, c.top_face.min_x, c.side.min_x});
        c.max_x = std::max({c.front.max_x, c.top_face.max_x, c.side.max_x});
        c.min_y = std::min({c.front.min_y, c.top_face.min_y, c.side.min_y});
        c.max_y = std::max({c.front.max_y, c.top_face.max_y, c.side.max_y});
        s.shadows[2] = shadow_below(kCrate.x, kCrate.base, c.width * 65 / 100, c.shift_front, 110);
    }

    {
        Setup::BallSetup& b = s.ball;
        const i64 delta = kBall.base - kHorizon;
        b.r = delta / 5;  // a beach ball 0.4 eye heights across
        b.x = kBall.x;
        b.y = kBall.base - b.r;
        b.shift = s.eye_sign * half_disparity(delta);
        // The gores meet at a pole tilted up and towards the camera; three
        // planes through that axis, 60 degrees apart, cut six of them.
        b.axis = normalised({900, -3300, 2300});
        const Vec3 p0 = normalised(cross(b.axis, {kOne12, 0, 0}));
        const Vec3 q0 = cross(b.axis, p0);
        b.planes[0] = p0;
        b.planes[1] = turned_60(p0, q0, 1);
        b.planes[2] = turned_60(p0, q0, -1);
        s.shadows[3] = shadow_below(b.x, kBall.base, b.r * 105 / 100, b.shift, 150);
    }
    return s;
}

// What every pixel of a row shares.
struct Row {
    i64 sy;
    bool lawn;      // below the hills' base: lawn, the rest is sky and hills
    i64 delta;      // distance below the horizon
    i64 shift;      // eye shift of the lawn at this row
    i64 depth;      // lawn texture coordinate away from the camera
    i64 footprint;  // lawn texture units under one pixel
    i64 blade_footprint;
    i64 path_x;  // lawn texture x of the path's middle
    int haze;
    Rgb sky;
};

Row make_row(const Setup& s, i64 sy) {
    Row row{};
    row.sy = sy;
    row.delta = sy - kHorizon;
    row.lawn = row.delta >= kHillBase;
    const int sky_t = ramp(sy * sy / kHorizon, 0, kHorizon);
    row.sky = mix(kSkyTop, kSkyHorizon, sky_t);
    if (!row.lawn) return row;
    row.shift = s.eye_sign * half_disparity(row.delta);
    row.depth = kFocal * kEyeHeight / row.delta;
    const i64 across = std::max<i64>(1, s.upp * kEyeHeight / row.delta);
    const i64 along = std::max<i64>(1, across * kFocal / row.delta);
    row.footprint = std::max(across, along / 2);
    row.blade_footprint = std::max(across, along / kBladeStretch);
    row.path_x = kPathCentre +
                 (fractal_noise_1d(row.depth, 17, 3, along, kSeedPath) - kNoiseMid) * kPathSwing / kNoiseMid;
    row.haze = int(kFull * kHazeDelta / (kHazeDelta + row.delta));
    return row;
}

Rgb lawn_colour(const Row& row, i64 sx) {
    const i64 tx = (sx - row.shift - kCentreX) * kEyeHeight / row.delta;
    const i64 tz = row.depth;
    const i64 fp = row.footprint;

    const int patches = contrast(fractal_noise(tx, tz, 15, 3, fp, kSeedLawnPatches));
    const int blades =
        contrast(fractal_noise(tx, tz / kBladeStretch, 8, 4, row.blade_footprint, kSeedLawnBlades));
    Rgb c = mix(kLawnDark, kLawnLight, (patches * 5 + blades * 3) / 8);

    // Mowing stripes, blended across their edges by the pixel footprint.
    const u64 stripe_pos = u64(tx + kNoiseBias);
    const i64 stripe_width = i64(1) << kStripeShift;
    const i64 into = i64(stripe_pos & u64(stripe_width - 1));
    const int light = ((stripe_pos >> kStripeShift) & 1) != 0 ? kStripeTone : -kStripeTone;
    const int own = coverage(std::min(into, stripe_width - into), fp);
    c = add(c, light * (2 * own - kFull) / kFull);

    const i64 from_path = tx > row.path_x ? tx - row.path_x : row.path_x - tx;
    const int path = coverage(kPathHalfWidth - from_path, row.footprint);
    if (path > 0) {
        const int gravel = contrast(fractal_noise(tx, tz, 8, 3, fp, kSeedGravel));
        const Rgb stones = scale(kGravel, 200 + gravel / 4);
        // Worn darker towards the lawn.
        const int edge = ramp(kPathHalfWidth - from_path, 0, 900);
        c = mix(c, scale(stones, 200 + edge / 5), path);
    }

    if (path == 0) {
        const i64 cell = i64(1) << kFlowerCellShift;
        const u64 ux = u64(tx + kNoiseBias);
        const u64 uz = u64(tz);
        const u32 h = hash(u32(ux >> kFlowerCellShift), u32(uz >> kFlowerCellShift), kSeedFlowers);
        if ((h & 0xFF) < kFlowerChance) {
            const i64 radius = kFlowerMinRadius + i64((h >> 8) & 0x7F) * 2;
            const i64 room = cell - 2 * radius;
            const i64 fx = radius + i64((h >> 16) & 0xFF) * room / 255;
            const i64 fz = radius + i64((h >> 24) & 0xFF) * room / 255;
            const i64 dx = i64(ux & u64(cell - 1)) - fx;
            const i64 dz = i64(uz & u64(cell - 1)) - fz;
            const i64 dist = i64(isqrt(u64(dx * dx + dz * dz)));
            const i64 flower_fp = (fp + row.blade_footprint) / 2;
            int cover = coverage(radius - dist, flower_fp);
            if (flower_fp > radius) cover = int(cover * radius / flower_fp);
            if (cover > 0) {
                const Rgb petal = kFlowerColours[hash(h, 0, kSeedFlowers) & 3];
                c = mix(c, scale(petal, 256 - int(dist * 70 / radius)), cover);
            }
        }
    }
    return mix(c, kSkyHorizon, row.haze);
}

Rgb sky_colour(const Setup& s, const Row& row, i64 sx) {
    const i64 sy = row.sy;
    const int n = fractal_noise(sx, sy * kCloudSquash / kCloudSquashBy, kCloudShift, 6,
                                s.upp * kCloudSquash / kCloudSquashBy, kSeedClouds);
    // Fewer clouds low down, where they would be hazy and small.
    const int height = ramp(kHorizon - sy, 0, kHorizon / 2);
    const int cloud = ramp(n, 35000, 44000) * height / kFull;
    if (cloud == 0) return row.sky;
    const Rgb puff = mix(kCloudShadow, kCloudLight, ramp(n, 37000, 50000));
    return mix(row.sky, puff, cloud * 15 / 16);
}

// Noise to a height up to `rise`, stretched less than contrast() so that
// ridges seldom flatten into plateaus.
i64 ridge_height(int noise, i64 rise) {
    return ramp(noise, 14000, 52000) * rise / kFull;
}

// The hills' ridge, then the mountains' ridge, as rows; both depend only on x.
i64 hill_ridge(i64 x) {
    return kHorizon - kHillLow - ridge_height(fractal_noise_1d(x, 14, 4, 1, kSeedHills), kHillRise);
}

// Squaring the height keeps the valleys broad and sharpens the summits.
i64 mountain_ridge(i64 x) {
    const i64 h = ramp(fractal_noise_1d(x, 15, 7, 1, kSeedMountains), 16000, 50000);
    return kHorizon - kMountainLow - h * h * kMountainRise / (i64(kFull) * kFull);
}

Rgb far_colour(const Setup& s, const Row& row, i64 sx, i64 hill_top, i64 mountain_top) {
    const i64 sy = row.sy;
    const int hill = coverage(sy - hill_top, s.upp);
    Rgb c = row.sky;
    if (hill < kFull) {
        c = sky_colour(s, row, sx);
        const int mountain = coverage(sy - mountain_top, s.upp);
        if (mountain > 0) {
            const i64 mx = sx - s.eye_sign * kMountainHalfDisparity;
            // Bluish rock, snow on the highest ground, haze towards the foot.
            const int rock = contrast(fractal_noise(mx, sy * 2, 11, 4, s.upp * 2, kSeedMountains));
            Rgb m = scale(kMountainColour, 210 + rock / 5);
            const int snow =
                ramp(kHorizon - kMountainLow - kMountainRise / 2 - sy + i64(rock - kFull / 2) * 8, 0, 600);
            m = mix(m, kSnow, snow * 3 / 4);
            m = mix(m, kSkyHorizon, 60 + ramp(sy, kHorizon - kMountainRise, kHorizon) / 3);
            c = mix(c, m, mountain);
        }
    }
    if (hill > 0) {
        const i64 hx = sx - s.eye_sign * s.hill_half;
        const int forest = contrast(fractal_noise(hx, sy, 9, 5, s.upp, kSeedForest));
        // Lit tops, and haze thickening down towards the valley floor.
        const int top_light = ramp(hill_top + 900 - sy, 0, 900);
        Rgb h = mix(kHillDark, kHillLight, std::min(kFull, forest * 3 / 4 + top_light / 3));
        h = mix(h, kSkyHorizon, 50 + ramp(sy, kHorizon - 2000, kHorizon + kHillBase) / 3);
        c = mix(c, h, hill);
    }
    return c;
}

void draw_shadow(const Setup::Shadow& sh, i64 sx, i64 sy, Rgb& c) {
    const i64 dx = sx - sh.shift - sh.x - sh.rx / 3;  // the light comes from the left
    const i64 dy = sy - sh.y;
    if (dx <= -sh.rx || dx >= sh.rx || dy <= -sh.ry || dy >= sh.ry) return;
    // Squared elliptic radius, 0 at the middle and 256 at the rim.
    const i64 t = dx * dx * kFull / (sh.rx * sh.rx) + dy * dy * kFull / (sh.ry * sh.ry);
    if (t >= kFull) return;
    const i64 soft = kFull - t;
    c = scale(c, kFull - int(sh.strength * soft / kFull));
}

void draw_tree(const Setup& s, const Setup::TreeSetup& t, i64 sx, i64 sy, Rgb& c) {
    const i64 x = sx - t.shift;
    if (x < t.left - s.upp || x > t.right + s.upp || sy < t.top - s.upp || sy > t.base + s.upp) return;
    const i64 dx = x - t.x;

    // Trunk, a little wider at the foot, lit from the left.
    const i64 half = t.trunk_half + t.trunk_half * (sy - t.trunk_top) / (3 * (t.base - t.trunk_top));
    const i64 from_side = half - (dx < 0 ? -dx : dx);
    const int trunk = std::min(coverage(from_side, s.upp), coverage(t.base - sy, s.upp));
    if (trunk > 0 && sy > t.trunk_top - t.crown_r) {
        const int bark = contrast(fractal_noise(x * 6, sy, 12, 6, s.upp * 6, kSeedBark));
        const int side_light = clamp_int(kFull - dx * 96 / std::max<i64>(1, half), 140, 330);
        const Rgb b = scale(scale(kBark, 170 + bark * 3 / 8), side_light);
        c = mix(c, b, trunk);
    }

    // Crown: a lumpy ball of leaves.
    const i64 dy = sy - t.crown_y;
    const i64 reach = t.crown_r + t.wobble + s.upp;
    if (dy < -reach || dy > reach) return;
    const i64 dist = i64(isqrt(u64(dx * dx + dy * dy)));
    if (dist > reach) return;
    const int lumps = fractal_noise(x, sy, t.leaf_shift + 2, 6, s.upp, kSeedCrown);
    const i64 edge = t.crown_r + (lumps - kNoiseMid) * t.wobble / kNoiseMid;
    const int crown = coverage(edge - dist, s.upp);
    if (crown == 0) return;
    // Shade it as a sphere of the crown's radius, flattened near the rim so
    // the lumps stay lit there.
    const i64 r2 = t.crown_r * t.crown_r;
    const Vec3 n = normalised({dx, dy, i64(isqrt(u64(std::max(r2 / 16, r2 - dist * dist))))});
    const int leaves = contrast(fractal_noise(x, sy, t.leaf_shift, 7, s.upp, kSeedLeaves));
    Rgb l = mix(kLeavesDark, kLeavesLight, (leaves + contrast(lumps)) / 2);
    l = scale(l, diffuse(n) * 5 / 4);
    c = mix(c, l, crown);
}

// Wood with planks `plank` units high along v and grain along u.
Rgb wood(i64 u, i64 v, i64 plank, i64 upp, int light) {
    const i64 pv = std::max<i64>(0, v);
    const i64 index = pv / plank;
    const i64 within = pv - index * plank;
    const i64 to_gap = std::min(within, plank - within);
    const int grain = contrast(
        fractal_noise(u + index * kPlankGrainOffset, pv * 12, 13, 8, upp * 12, kSeedWood + u32(index)));
    Rgb w = mix(kWoodDark, kWoodLight, grain);
    const int gap = coverage(plank / kPlankGapDivisor - to_gap, upp);
    w = mix(w, scale(w, 90), gap);
    return scale(w, light);
}

void draw_crate(const Setup& s, i64 sx, i64 sy, Rgb& c) {
    const Setup::CrateSetup& k = s.crate;
    if (sx < k.min_x - s.upp || sx > k.max_x + s.upp || sy < k.min_y - s.upp || sy > k.max_y + s.upp) return;
    // The faces share edges: blending each over the lawn in turn would let
    // the lawn show through the seams, so weigh the faces against each other.
    const int front = coverage(polygon_distance(k.front, sx, sy), s.upp);
    const int top = coverage(polygon_distance(k.top_face, sx, sy), s.upp);
    const int side = coverage(polygon_distance(k.side, sx, sy), s.upp);
    const int total = front + top + side;
    if (total == 0) return;
    const i64 u = sx - k.shift_front - k.left;
    const i64 plank = k.height / kCratePlanks;
    Rgb sum = {0, 0, 0};
    if (front > 0) {
        const Rgb f = wood(u, sy - k.top, plank, s.upp, 232);
        sum = {sum.r + f.r * front, sum.g + f.g * front, sum.b + f.b * front};
    }
    if (top > 0) {
        const i64 depth = k.top - k.side_top_back;
        const Rgb f = wood(u, (k.top - sy) * 3 * plank / std::max<i64>(1, depth), plank, s.upp, 310);
        sum = {sum.r + f.r * top, sum.g + f.g * top, sum.b + f.b * top};
    }
    if (side > 0) {
        // Planks converge towards the back: measure v between the side's top
        // and bottom edges at this x.
        const i64 span = std::max<i64>(1, k.side_front_x - k.side_back_x);
        const i64 t = clamp_int((k.side_front_x - sx) * kOne12 / span, 0, kOne12);
        const i64 top_y = k.side_top_front + (k.side_top_back - k.side_top_front) * t / kOne12;
        const i64 bottom_y = k.side_bottom_front + (k.side_bottom_back - k.side_bottom_front) * t / kOne12;
        const i64 v = (sy - top_y) * k.height / std::max<i64>(1, bottom_y - top_y);
        const Rgb f = wood(t * k.width / kOne12 + kSideGrainOffset, v, plank, s.upp, 128);
        sum = {sum.r + f.r * side, sum.g + f.g * side, sum.b + f.b * side};
    }
    const Rgb face = {sum.r / total, sum.g / total, sum.b / total};
    c = mix(c, face, std::min(total, kFull));
}

void draw_ball(const Setup& s, i64 sx, i64 sy, Rgb& c) {
    const Setup::BallSetup& b = s.ball;
    const i64 dx = sx - b.shift - b.x;
    const i64 dy = sy - b.y;
    const i64 reach = b.r + s.upp;
    if (dx < -reach || dx > reach || dy < -reach || dy > reach) return;
    const i64 d2 = dx * dx + dy * dy;
    if (d2 > reach * reach) return;
    const i64 dist = i64(isqrt(u64(d2)));
    const int cover = coverage(b.r - dist, s.upp);
    if (cover == 0) return;

    const i64 nx = std::clamp<i64>(dx * kOne12 / b.r, -kOne12, kOne12);
    const i64 ny = std::clamp<i64>(dy * kOne12 / b.r, -kOne12, kOne12);
    const i64 nz2 = kOne12 * kOne12 - nx * nx - ny * ny;
    const Vec3 n = {nx, ny, nz2 > 0 ? i64(isqrt(u64(nz2))) : 0};

    // Gores: which side of each plane the point is on picks the colour;
    // near a seam, blend with the colour across it.
    int sector = 0;
    i64 nearest = kOne12;
    int nearest_plane = 0;
    for (int i = 0; i < 3; ++i) {
        const i64 d = dot(n, b.planes[i]);
        if (d > 0) sector |= 1 << i;
        const i64 ad = d < 0 ? -d : d;
        if (ad < nearest) {
            nearest = ad;
            nearest_plane = i;
        }
    }
    Rgb paint = kBallColours[sector];
    const i64 to_seam = nearest * b.r / kOne12;
    if (to_seam < s.upp) {
        const Rgb across = kBallColours[sector ^ (1 << nearest_plane)];
        paint = mix(paint, across, (kFull / 2) * int(s.upp - to_seam) / int(s.upp));
    }
    // White caps where the gores meet.
    const i64 polar = dot(n, b.axis);
    const i64 cap = (polar < 0 ? -polar : polar) - kCapCosine;
    paint = mix(paint, kWhite, coverage(cap * b.r / kOne12, s.upp));

    // Slightly mottled vinyl.
    const int mottle = fractal_noise(dx, dy, 9, 3, s.upp, kSeedBall);
    paint = add(paint, (mottle - kNoiseMid) * 10 / kNoiseMid);

    Rgb shaded = scale(paint, diffuse(n));
    // Highlight: (n . half)^64 by repeated squaring, in 1/4096.
    i64 shine = std::max<i64>(0, (n.x * kHalfX + n.y * kHalfY + n.z * kHalfZ) / kOne12);
    for (int i = 0; i < 6; ++i) shine = shine * shine / kOne12;
    shaded = add(shaded, int(shine * 200 / kOne12));
    // Green light bounced off the lawn onto the underside.
    const int bounce = ramp(n.y, 1000, kOne12);
    shaded = {shaded.r, shaded.g + bounce / 10, shaded.b};
    c = mix(c, shaded, cover);
}

unsigned char to_byte(int v) {
    return static_cast<unsigned char>(clamp_int(v, 0, 255));
}

}  // namespace

std::vector<unsigned char> render_view(int width, int height, int eye) {
    if (width < 1 || height < 1)
        throw std::invalid_argument("render_view: width and height must be at least 1");
    if (eye != 0 && eye != 1) throw std::invalid_argument("render_view: eye must be 0 (left) or 1 (right)");
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    if (pixels / std::size_t(width) != std::size_t(height) ||
        pixels > std::numeric_limits<std::size_t>::max() / 3)
        throw std::invalid_argument("render_view: picture too large");

    // Scale so that the canvas covers the picture, in 1/65536 scene units per
    // pixel, and centre it.
    const i64 upp16 = std::min((kCanvasWidth << 16) / width, (kCanvasHeight << 16) / height);
    const i64 upp = std::max<i64>(1, upp16 >> 16);
    const Setup s = make_setup(upp, eye);

    std::vector<i64> column_x(std::size_t(width), 0);
    std::vector<i64> hill_top(std::size_t(width), 0);
    std::vector<i64> mountain_top(std::size_t(width), 0);
    std::vector<int> vignette_x(std::size_t(width), 0);
    const i64 corner2 = kCentreX * kCentreX + kCentreY * kCentreY;
    for (int x = 0; x < width; ++x) {
        const i64 sx = kCentreX + (i64(2 * i64(x) + 1 - width) * upp16) / (i64(2) << 16);
        column_x[x] = sx;
        hill_top[x] = hill_ridge(sx - s.eye_sign * s.hill_half);
        mountain_top[x] = mountain_ridge(sx - s.eye_sign * kMountainHalfDisparity);
        vignette_x[x] = int((sx - kCentreX) * (sx - kCentreX) * kVignette / corner2);
    }

    std::vector<unsigned char> out(pixels * 3);
    std::size_t o = 0;
    for (int y = 0; y < height; ++y) {
        const i64 sy = kCentreY + (i64(2 * i64(y) + 1 - height) * upp16) / (i64(2) << 16);
        const Row row = make_row(s, sy);
        const int vignette_y = int((sy - kCentreY) * (sy - kCentreY) * kVignette / corner2);
        for (int x = 0; x < width; ++x) {
            const i64 sx = column_x[x];
            Rgb c;
            if (row.lawn) {
                c = lawn_colour(row, sx);
                for (const Setup::Shadow& sh : s.shadows) draw_shadow(sh, sx, sy, c);
            } else {
                c = far_colour(s, row, sx, hill_top[x], mountain_top[x]);
            }
            for (const Setup::TreeSetup& t : s.trees) draw_tree(s, t, sx, sy, c);
            draw_crate(s, sx, sy, c);
            draw_ball(s, sx, sy, c);

            c = scale(c, kFull - vignette_x[x] - vignette_y);
            // Sensor grain: triangular, independent per pixel and per eye.
            const u32 h = hash(u32(x), u32(y), kSeedGrain + u32(eye));
            c = add(c, (int(h & 0xFF) + int((h >> 8) & 0xFF) - 255) * kGrain / 255);
            out[o++] = to_byte(c.r);
            out[o++] = to_byte(c.g);
            out[o++] = to_byte(c.b);
        }
    }
    return out;
}
