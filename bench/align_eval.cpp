// align_eval: the alignment benchmark's own tools, independent of mpoalign's
// estimator and resampler (it shares nothing with toolkit/align):
//
//   align_eval measure FILE.mpo [UNIT_WIDTH]
//       The vertical error of a stereo pair as an independent evaluator sees
//       it: SIFT on grey copies scaled so that a picture UNIT_WIDTH pixels
//       wide (default: the views' own width) is at most 3000 pixels wide
//       (smaller ones are measured as they are), nearest
//       neighbours with Lowe's ratio test, a fundamental-matrix RANSAC, and
//       the vertical disparity of its inliers. Prints one line:
//       "matches MEAN P95 FLOOR_MEAN FLOOR_P95", in pixels at that width; the floor is what is left after the
//       best similarity fitted to the same inliers (its vertical part, by least squares).
//   align_eval distort IN.mpo OUT.mpo DEGREES SCALE SHIFT
//       The right view turned clockwise by DEGREES, scaled by SCALE about
//       the centre and moved SHIFT pixels down (OpenCV's bicubic warp),
//       re-encoded at quality 95; the left view's bytes are kept.
//   align_eval plain IN.mpo OUT.mpo
//       The published method implemented plainly, as the yardstick: SIFT on
//       a copy reduced to 1000 pixels wide, ratio test, a RANSAC scoring the
//       vertical error only, least squares for roll, scale and vertical
//       shift, keystone terms kept where they lower the error at held-out
//       matches, half of the correction applied to each view with OpenCV's
//       bicubic warp, the largest centred rectangle both views cover, quality
//       95. Prints the share of the picture kept.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_pictures.hpp"

namespace {

constexpr double kEvaluationWidth = 3000;
constexpr float kEvaluationRatio = 0.75f;
constexpr int kEvaluationKeypoints = 20000;
constexpr double kFundamentalThreshold = 1.0;  // pixels at 3000 wide
constexpr double kPlainWidth = 1000;
constexpr int kPlainDraws = 1000;
constexpr double kPlainThreshold = 1.0;  // pixels of the reduced copy

struct Pair {
    cv::Mat left, right;  // RGB
    std::vector<unsigned char> left_bytes;
};

bool load(const char* path, Pair* pair) {
    Buffer file;
    if (!read_whole_file(path, &file)) return false;
    const std::vector<Extent> pictures = find_pictures(file.data.get(), file.size);
    if (pictures.size() < 2) return false;
    for (int j = 0; j < 2; ++j) {
        ViewDecoder decoder;
        if (!open_view(&decoder, pictures[j])) return false;
        cv::Mat view(static_cast<int>(decoder.cinfo.image_height),
                     static_cast<int>(decoder.cinfo.image_width), CV_8UC3);
        decode_view(&decoder, view.data, view.step);
        (j == 0 ? pair->left : pair->right) = view;
    }
    pair->left_bytes.assign(pictures[0].data, pictures[0].data + pictures[0].size);
    return true;
}

std::vector<unsigned char> encode(const cv::Mat& rgb) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* stream = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &stream, &size);
    const cv::Mat packed = rgb.isContinuous() ? rgb : rgb.clone();
    compress_rgb(&cinfo, packed.data, static_cast<JDIMENSION>(packed.cols),
                 static_cast<JDIMENSION>(packed.rows));
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> bytes(stream, stream + size);
    free(stream);
    return bytes;
}

bool write_pair(const char* path, const std::vector<unsigned char>& left,
                const std::vector<unsigned char>& right) {
    FILE* out = fopen(path, "wb");
    if (out == nullptr) return false;
    const bool written = fwrite(left.data(), 1, left.size(), out) == left.size() &&
                         fwrite(right.data(), 1, right.size(), out) == right.size();
    return fclose(out) == 0 && written;
}

cv::Mat grey_at(const cv::Mat& rgb, double scale) {
    cv::Mat grey, sized;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    cv::resize(grey, sized, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
    return sized;
}

// Matches between two grey pictures by SIFT and the ratio test.
void sift_matches(const cv::Mat& left, const cv::Mat& right, int keypoints, float ratio, bool flann,
                  std::vector<cv::Point2f>* l, std::vector<cv::Point2f>* r) {
    cv::Ptr<cv::SIFT> sift = cv::SIFT::create(keypoints);
    std::vector<cv::KeyPoint> kl, kr;
    cv::Mat dl, dr;
    sift->detectAndCompute(left, cv::noArray(), kl, dl);
    sift->detectAndCompute(right, cv::noArray(), kr, dr);
    if (kl.size() < 2 || kr.size() < 2) return;
    std::vector<std::vector<cv::DMatch>> knn;
    if (flann) {
        cv::FlannBasedMatcher().knnMatch(dl, dr, knn, 2);
    } else {
        cv::BFMatcher(cv::NORM_L2).knnMatch(dl, dr, knn, 2);
    }
    for (const auto& m : knn) {
        if (m.size() == 2 && m[0].distance < ratio * m[1].distance) {
            l->push_back(kl[m[0].queryIdx].pt);
            r->push_back(kr[m[0].trainIdx].pt);
        }
    }
}

// Least squares y_l = a y_r + b x_r + c (+ d x_r y_r + e y_r^2 with
// keystone), over the matches `use`; coordinates centred.
cv::Mat vertical_fit(const std::vector<cv::Point2f>& l, const std::vector<cv::Point2f>& r,
                     const std::vector<int>& use, bool keystone) {
    const int n = keystone ? 5 : 3;
    cv::Mat a(static_cast<int>(use.size()), n, CV_64F), b(static_cast<int>(use.size()), 1, CV_64F);
    for (size_t k = 0; k < use.size(); ++k) {
        const cv::Point2f p = r[use[k]];
        const double row[5] = {p.y, p.x, 1, p.x * p.y / 1000, p.y * p.y / 1000};
        for (int c = 0; c < n; ++c) a.at<double>(static_cast<int>(k), c) = row[c];
        b.at<double>(static_cast<int>(k)) = l[use[k]].y;
    }
    cv::Mat z;
    cv::solve(a, b, z, cv::DECOMP_SVD);
    return z;
}

double residual(const cv::Mat& z, const cv::Point2f& l, const cv::Point2f& r) {
    double y = z.at<double>(0) * r.y + z.at<double>(1) * r.x + z.at<double>(2);
    if (z.rows == 5) y += z.at<double>(3) * r.x * r.y / 1000 + z.at<double>(4) * r.y * r.y / 1000;
    return l.y - y;
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<size_t>(share * static_cast<double>(values.size())))];
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (const double v : values) sum += v;
    return values.empty() ? NAN : sum / static_cast<double>(values.size());
}

int measure(const char* path, double unit_width) {
    Pair pair;
    if (!load(path, &pair)) return 1;
    if (unit_width <= 0) unit_width = pair.left.cols;
    // Larger pictures are reduced to 3000 pixels wide, smaller ones measured
    // as they are.
    const double scale = std::min(1.0, kEvaluationWidth / unit_width);
    const cv::Mat gl = grey_at(pair.left, scale), gr = grey_at(pair.right, scale);
    std::vector<cv::Point2f> l, r;
    sift_matches(gl, gr, kEvaluationKeypoints, kEvaluationRatio, true, &l, &r);
    if (l.size() < 8) return 1;
    std::vector<unsigned char> inlier;
    cv::findFundamentalMat(l, r, cv::USAC_ACCURATE, kFundamentalThreshold, 0.9999, 10000, inlier);
    std::vector<int> use;
    std::vector<double> errors;
    const cv::Point2f centre(static_cast<float>(gl.cols) / 2, static_cast<float>(gl.rows) / 2);
    for (size_t k = 0; k < l.size(); ++k) {
        if (inlier[k] == 0) continue;
        use.push_back(static_cast<int>(k));
        errors.push_back(std::fabs(r[k].y - l[k].y));
        l[k] -= centre;
        r[k] -= centre;
    }
    const cv::Mat z = vertical_fit(l, r, use, false);
    std::vector<double> floor;
    floor.reserve(use.size());
    for (const int k : use) floor.push_back(std::fabs(residual(z, l[k], r[k])));
    printf("%zu %.3f %.3f %.3f %.3f\n", use.size(), mean(errors), percentile(errors, 0.95), mean(floor),
           percentile(floor, 0.95));
    return 0;
}

int distort(const char* in, const char* out, double degrees, double scale, double shift) {
    Pair pair;
    if (!load(in, &pair)) return 1;
    const cv::Point2f centre(static_cast<float>(pair.right.cols - 1) / 2,
                             static_cast<float>(pair.right.rows - 1) / 2);
    // OpenCV's angle is anticlockwise on the screen.
    cv::Mat m = cv::getRotationMatrix2D(centre, -degrees, scale);
    m.at<double>(1, 2) += shift;
    cv::Mat warped;
    cv::warpAffine(pair.right, warped, m, pair.right.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT);
    return write_pair(out, pair.left_bytes, encode(warped)) ? 0 : 1;
}

// The 2 x 3 matrix of a similarity's half, right view to the middle frame,
// from the vertical fit y_l = a y_r + b x_r + c (+ keystone terms, applied
// as a homography's last row).
cv::Mat half_homography(const cv::Mat& z, bool to_left, const cv::Point2d& centre) {
    const double a = z.at<double>(0), b = z.at<double>(1), c = z.at<double>(2);
    const double s = std::sqrt(a * a + b * b), angle = std::atan2(b, a);
    // Right to left: rotation by angle, scale s, vertical shift c; half each.
    const double hs = std::sqrt(s), ha = angle / 2, hc = c / 2;
    const double sign = to_left ? -1 : 1;  // the left view takes the inverse half
    const double ss = to_left ? 1 / hs : hs, ca = std::cos(ha), sa = std::sin(sign * ha);
    cv::Mat h = (cv::Mat_<double>(3, 3) << ss * ca, -ss * sa, 0, ss * sa, ss * ca, sign * hc, 0, 0, 1);
    if (z.rows == 5) {
        // y (1 + d x / 1000 + e y / 1000): perspective terms, half each.
        const double d = z.at<double>(3) / 1000 / 2, e = z.at<double>(4) / 1000 / 2;
        const cv::Mat p = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, -sign * d, -sign * e, 1);
        h = h * p;
    }
    const cv::Mat to_centre = (cv::Mat_<double>(3, 3) << 1, 0, -centre.x, 0, 1, -centre.y, 0, 0, 1);
    const cv::Mat back = (cv::Mat_<double>(3, 3) << 1, 0, centre.x, 0, 1, centre.y, 0, 0, 1);
    return back * h * to_centre;
}

int plain(const char* in, const char* out) {
    Pair pair;
    if (!load(in, &pair)) return 1;
    const double scale = std::min(1.0, kPlainWidth / pair.left.cols);
    const cv::Mat gl = grey_at(pair.left, scale), gr = grey_at(pair.right, scale);
    std::vector<cv::Point2f> l, r;
    sift_matches(gl, gr, 0, kEvaluationRatio, false, &l, &r);
    const cv::Point2f centre(static_cast<float>(pair.left.cols) / 2, static_cast<float>(pair.left.rows) / 2);
    for (size_t k = 0; k < l.size(); ++k) {
        l[k] = l[k] / scale - centre;
        r[k] = r[k] / scale - centre;
    }
    if (l.size() < 3) return 1;
    // RANSAC over three matches, scored by the vertical error alone.
    cv::RNG rng(1);
    const double threshold = kPlainThreshold / scale;
    std::vector<int> best;
    for (int draw = 0; draw < kPlainDraws; ++draw) {
        const std::vector<int> sample = {rng.uniform(0, static_cast<int>(l.size())),
                                         rng.uniform(0, static_cast<int>(l.size())),
                                         rng.uniform(0, static_cast<int>(l.size()))};
        const cv::Mat z = vertical_fit(l, r, sample, false);
        std::vector<int> use;
        for (size_t k = 0; k < l.size(); ++k) {
            if (std::fabs(residual(z, l[k], r[k])) < threshold) use.push_back(static_cast<int>(k));
        }
        if (use.size() > best.size()) best = use;
    }
    // Keystone where it lowers the error at the fifth of the matches left out.
    std::vector<int> train, held;
    for (size_t k = 0; k < best.size(); ++k) (k % 5 == 4 ? held : train).push_back(best[k]);
    double without = 0, with = 0;
    const cv::Mat zs = vertical_fit(l, r, train, false), zk = vertical_fit(l, r, train, true);
    for (const int k : held) {
        without += std::fabs(residual(zs, l[k], r[k]));
        with += std::fabs(residual(zk, l[k], r[k]));
    }
    const cv::Mat z = vertical_fit(l, r, best, with < without);
    const cv::Mat hl = half_homography(z, true, centre), hr = half_homography(z, false, centre);
    // The largest centred rectangle of the picture's proportions whose
    // corners both views cover.
    double share = 1;
    const auto covered = [&](double f) {
        for (const cv::Mat& h : {hl, hr}) {
            const cv::Mat inv = h.inv();
            for (const double sx : {-1.0, 1.0}) {
                for (const double sy : {-1.0, 1.0}) {
                    std::vector<cv::Point2d> p = {{centre.x + sx * f * centre.x,
                                                   centre.y + sy * f * centre.y}},
                                             q;
                    cv::perspectiveTransform(p, q, inv);
                    if (q[0].x < 0 || q[0].y < 0 || q[0].x > pair.left.cols || q[0].y > pair.left.rows)
                        return false;
                }
            }
        }
        return true;
    };
    while (share > 0.5 && !covered(share)) share -= 0.001;
    const int width = static_cast<int>(share * pair.left.cols),
              height = static_cast<int>(share * pair.left.rows);
    const cv::Rect crop((pair.left.cols - width) / 2, (pair.left.rows - height) / 2, width, height);
    cv::Mat left, right;
    cv::warpPerspective(pair.left, left, hl, pair.left.size(), cv::INTER_CUBIC);
    cv::warpPerspective(pair.right, right, hr, pair.right.size(), cv::INTER_CUBIC);
    printf("kept %.3f keystone %d matches %zu\n",
           static_cast<double>(width) * height / (pair.left.cols * pair.left.rows), with < without ? 1 : 0,
           best.size());
    return write_pair(out, encode(left(crop)), encode(right(crop))) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto number = [](const char* text) { return strtod(text, nullptr); };
    if (mode == "measure" && (argc == 3 || argc == 4))
        return measure(argv[2], argc == 4 ? number(argv[3]) : 0);
    if (mode == "distort" && argc == 7)
        return distort(argv[2], argv[3], number(argv[4]), number(argv[5]), number(argv[6]));
    if (mode == "plain" && argc == 4) return plain(argv[2], argv[3]);
    fputs(
        "usage: align_eval measure FILE.mpo [UNIT_WIDTH]\n"
        "       align_eval distort IN.mpo OUT.mpo DEGREES SCALE SHIFT\n"
        "       align_eval plain IN.mpo OUT.mpo\n",
        stderr);
    return 2;
}
