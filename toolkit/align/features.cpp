#include "features.hpp"

#include <algorithm>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

namespace {

// Lowe's ratio test: a match is kept when its descriptor is clearly nearer
// than the second nearest one.
constexpr float kRatio = 0.8f;
// Keypoints per view, the strongest first: enough for the estimate, few
// enough that matching them all against each other stays quick.
constexpr int kKeypoints = 4000;

// The keypoints of a view and their descriptors (rows of `descriptors`), in
// the order of their positions. SIFT hands them out in the order its sort
// and selection of the strongest leave them, which is the C++ library's own
// (libstdc++ and Emscripten's libc++ differ); the estimator's draws follow
// the order of the matches, so that order must be the same everywhere.
// Keypoints at the same position (SIFT gives one per orientation) follow
// their strength, then their angle, which differ by far more than the last
// bits in which platforms may disagree.
std::vector<cv::KeyPoint> keypoints_of(const GreyView& view, cv::Mat* descriptors) {
    const cv::Mat image(view.height, view.width, CV_8UC1, const_cast<unsigned char*>(view.pixels.data()));
    cv::Ptr<cv::SIFT> sift = cv::SIFT::create(kKeypoints);
    std::vector<cv::KeyPoint> found;
    cv::Mat unordered;
    sift->detectAndCompute(image, cv::noArray(), found, unordered);
    std::vector<size_t> order(found.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [&found](size_t a, size_t b) {
        const cv::KeyPoint &p = found[a], &q = found[b];
        if (p.pt.y != q.pt.y) return p.pt.y < q.pt.y;
        if (p.pt.x != q.pt.x) return p.pt.x < q.pt.x;
        if (p.response != q.response) return p.response > q.response;
        if (p.angle != q.angle) return p.angle < q.angle;
        return a < b;
    });
    std::vector<cv::KeyPoint> keypoints;
    keypoints.reserve(found.size());
    descriptors->create(unordered.rows, unordered.cols, unordered.type());
    for (size_t k = 0; k < order.size(); ++k) {
        keypoints.push_back(found[order[k]]);
        unordered.row(static_cast<int>(order[k])).copyTo(descriptors->row(static_cast<int>(k)));
    }
    return keypoints;
}

// A reduced pixel's centre in the centred full-size coordinates.
double full_size(float reduced, int factor, double extent) {
    return (static_cast<double>(reduced) + 0.5) * factor - extent / 2;
}

}  // namespace

int search_factor(size_t width) {
    return static_cast<int>((width + kSearchWidth - 1) / kSearchWidth);
}

void start_grey(size_t width, size_t height, int box, int factor, GreyBuilder* builder) {
    const auto b = static_cast<size_t>(box);
    GreyView& view = builder->view;
    view.factor = factor;
    view.width = static_cast<int>(width / b);
    view.height = static_cast<int>(height / b);
    view.pixels.assign(static_cast<size_t>(view.width) * static_cast<size_t>(view.height), 0);
    builder->sums.assign(static_cast<size_t>(view.width), 0);
    builder->box = box;
    builder->rows = 0;
}

void add_grey_row(const unsigned char* grey, GreyBuilder* builder) {
    GreyView& view = builder->view;
    const auto b = static_cast<size_t>(builder->box);
    const size_t reduced_row = builder->rows / b;
    ++builder->rows;
    if (reduced_row >= static_cast<size_t>(view.height)) return;
    unsigned* sums = builder->sums.data();
    const size_t width = builder->sums.size();
    if (b == 1) {
        for (size_t x = 0; x < width; ++x) sums[x] = grey[x];
    } else {
        for (size_t x = 0; x < width; ++x) {
            for (size_t k = 0; k < b; ++k) sums[x] += grey[x * b + k];
        }
    }
    if (builder->rows % b != 0) return;
    const size_t block = b * b;
    unsigned char* out = view.pixels.data() + reduced_row * static_cast<size_t>(view.width);
    for (size_t x = 0; x < width; ++x) {
        out[x] = static_cast<unsigned char>((sums[x] + block / 2) / block);
        sums[x] = 0;
    }
}

void use_reproducible_opencv() {
    cv::setNumThreads(0);
    cv::setUseOptimized(false);
}

std::vector<Match> find_matches(const GreyView& left, const GreyView& right, ViewSize size) {
    cv::Mat left_descriptors, right_descriptors;
    const std::vector<cv::KeyPoint> left_points = keypoints_of(left, &left_descriptors);
    const std::vector<cv::KeyPoint> right_points = keypoints_of(right, &right_descriptors);
    std::vector<Match> matches;
    if (left_points.size() < 2 || right_points.size() < 2) return matches;

    cv::BFMatcher matcher(cv::NORM_L2);
    std::vector<std::vector<cv::DMatch>> nearest;
    matcher.knnMatch(left_descriptors, right_descriptors, nearest, 2);
    // Each right point goes with the one left point that matched it best, so
    // that no point stands in two matches.
    std::vector<int> best(right_points.size(), -1);
    for (const std::vector<cv::DMatch>& pair : nearest) {
        if (pair.size() < 2 || !(pair[0].distance < kRatio * pair[1].distance)) continue;
        int& holder = best[static_cast<size_t>(pair[0].trainIdx)];
        if (holder < 0 || pair[0].distance < nearest[static_cast<size_t>(holder)][0].distance) {
            holder = pair[0].queryIdx;
        }
    }
    for (size_t k = 0; k < best.size(); ++k) {
        if (best[k] < 0) continue;
        const cv::Point2f l = left_points[static_cast<size_t>(best[k])].pt, r = right_points[k].pt;
        matches.push_back({full_size(l.x, left.factor, size.width), full_size(l.y, left.factor, size.height),
                           full_size(r.x, right.factor, size.width),
                           full_size(r.y, right.factor, size.height)});
    }
    return matches;
}

double match_tolerance(const GreyView& view) {
    return view.factor;
}
