// Synthetic stereo photographs for tests, benchmarks and the committed sample.
//
// The converters need stereo input whose every byte we may ship and whose
// content we know: real camera files cannot be committed, and flat test
// patterns compress nothing like a photograph, hide swapped views and show no
// depth in an anaglyph. So this library renders a small garden (sky, hills, a
// lawn with a path and flowers, two trees, a crate and a ball) from two eye
// positions, and wraps the pair the way a stereo camera does: Exif APP1 with
// a thumbnail and an APP2 multi-picture index in front of each JPEG stream.
// Everything is integer arithmetic, so the same size gives the same bytes on
// every machine (libjpeg-turbo version aside).
//
// Near things sit further right in the left view than in the right view; the
// sky has no disparity at all; the nearest object (the ball) is about 2.6 % of
// the picture width apart between the views.
//
// make_sample_mpo renders and writes one file. The committed sample is
// regenerated from the top of the repository with
//
//     cmake -S . -B build && cmake --build build --target make_sample_mpo
//     build/bin/make_sample_mpo samples/garden.mpo
//
// and a camera-sized file for benchmarks with
//
//     build/bin/make_sample_mpo --width 3648 --height 2736 garden-10mp.mpo
#pragma once

#include <vector>

// Interleaved RGB (width * height * 3 bytes, top row first) of the garden seen
// by the left (eye 0) or the right (eye 1) eye. Any size from 1x1 up works:
// the scene is framed to cover the picture, cropping to keep its 4:3 shape.
// Throws std::invalid_argument on a bad size or eye.
std::vector<unsigned char> render_view(int width, int height, int eye);

struct JpegOptions {
    int quality = 90;
    bool progressive = false;
    // Luma sampling factors; chroma is always 1x1. 2,2 is 4:2:0, 2,1 is 4:2:2
    // and 1,1 is 4:4:4. Ignored for greyscale.
    int h_samp = 2;
    int v_samp = 2;
    // Without the JFIF APP0 the stream starts FF D8 FF DB, as many cameras'.
    bool jfif = true;
    // A restart marker after every this many MCU rows (0: none), as some
    // cameras write so that a damaged stretch stays local.
    int restart_rows = 0;
};

// A complete JPEG stream of `pixels` (components 3 = RGB, 1 = greyscale).
// Throws std::invalid_argument on bad arguments and std::runtime_error when
// libjpeg refuses them.
std::vector<unsigned char> encode_jpeg(const unsigned char* pixels, int width, int height, int components,
                                       const JpegOptions& options);

// `jpeg` with an Exif APP1 (holding `thumbnail`, if not empty) and then the
// complete APP2 segment `app2` (if not empty) right after its SOI, in place of
// any JFIF APP0 it had. Throws std::invalid_argument when `jpeg` does not start
// with SOI, a segment is malformed, `app2` is not one whole APP2 segment or the
// thumbnail does not fit in one segment.
std::vector<unsigned char> make_camera_picture(const std::vector<unsigned char>& jpeg,
                                               const std::vector<unsigned char>& thumbnail,
                                               const std::vector<unsigned char>& app2);

// A two-picture MPO as a stereo camera writes it: the left picture (with the
// multi-picture index) followed by the right one. The left thumbnail is a
// JFIF stream (FF D8 FF E0) and the right one starts with its Huffman tables
// (FF D8 FF C4), the two shapes cameras embed that look most like the start
// of a picture to a careless scanner.
std::vector<unsigned char> make_stereo_mpo(const unsigned char* left_rgb, const unsigned char* right_rgb,
                                           int width, int height, const JpegOptions& options);
