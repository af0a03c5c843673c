#include "dubois.hpp"

namespace {

// Dubois's least-squares projection for red-cyan glasses, in thousandths.
// Rows are the output red, green and blue; columns the left view's R, G, B
// then the right view's R, G, B. Red comes almost wholly from the left view,
// green and blue from the right one; the small negative terms cancel the
// crosstalk of the filters. The largest sum, 1226 x 255, fits 32 bits.
constexpr int kDuboisMatrix[3][6] = {
    {456, 500, 176, -43, -88, -2},
    {-40, -38, -16, 378, 734, -18},
    {-15, -21, -5, -72, -113, 1226},
};
constexpr int kMatrixScale = 1000;
constexpr int kMaxSample = 255;

}  // namespace

void dubois_pixel(const unsigned char* left, const unsigned char* right, unsigned char* out) {
    const int in[6] = {left[0], left[1], left[2], right[0], right[1], right[2]};
    int mixed[3];
    for (int channel = 0; channel < 3; ++channel) {
        int sum = 0;
        for (int k = 0; k < 6; ++k) sum += kDuboisMatrix[channel][k] * in[k];
        int value = sum / kMatrixScale;  // truncates toward zero, never rounds
        if (value > kMaxSample) {
            value = kMaxSample;
        } else if (value < 0) {
            value = 0;
        }
        mixed[channel] = value;
    }
    for (int channel = 0; channel < 3; ++channel) out[channel] = static_cast<unsigned char>(mixed[channel]);
}

void dubois_anaglyph(const unsigned char* left, const unsigned char* right, unsigned char* out, size_t pixels) {
    for (size_t p = 0; p < pixels * 3; p += 3) dubois_pixel(left + p, right + p, out + p);
}
