// Writes a stereo MPO file: two complete JPEG pictures, left then right,
// joined as CIPA DC-007 ("Multi-Picture Format") describes a multi-frame
// disparity image, in the form stereo cameras write and stereo viewers,
// 3D televisions and handheld consoles read.
//
// Each picture is copied as it is, except for its MP Format segment (APP2
// "MPF"): any that it holds (a picture split from a camera's MPO keeps the
// camera's) is taken out, and a new one is put in after the APP0 and APP1
// segments that open the picture. Bytes after a picture's end-of-image
// marker are kept, up to any further picture appended there (a preview, an
// HDR gain map), which is left out so that the file holds two pictures.
//
// The new segments are little-endian, as most cameras write them, and hold
// the fields that cameras write (offsets counted from the MP header, the
// byte after "MPF\0", as DC-007 counts them):
// - the left picture's: the MP Index IFD (MPF version "0100", number of
//   images 2, an MP entry per picture: type multi-frame disparity, JPEG, the
//   left one flagged as the representative image, each picture's size from
//   its start-of-image to its end-of-image marker, the right one's offset),
//   then its MP Attribute IFD;
// - the right picture's: its MP Attribute IFD, with the MPF version.
// An MP Attribute IFD holds the individual image number (1 left, 2 right),
// the base viewpoint number (1), and the convergence angle and baseline
// length that the picture's old MPF segment gave, or "unknown"
// (FFFFFFFF/FFFFFFFF) when it gave none.
#ifndef STEREO_TOOLKIT_MPO_WRITER_HPP
#define STEREO_TOOLKIT_MPO_WRITER_HPP

#include <cstddef>
#include <cstdio>
#include <string>

// Whether `picture` holds one complete JPEG picture that write_mpo takes:
// its header segments lead to a frame and a scan, and it has its
// end-of-image marker. When not, *why says what is wrong, in words for the
// person who gave the picture ("not a JPEG picture: ...").
bool check_mpo_picture(const unsigned char* picture, size_t size, std::string* why);

// Writes the MPO file of `left` and `right` (each a complete JPEG picture in
// memory) to `out`, from its current position. Returns false with *why
// saying why: when a picture is refused by check_mpo_picture ("the left
// picture is not a JPEG picture: ...") or the pair is too large for an MPO
// file's 32-bit sizes, nothing was written; when writing to `out` failed,
// *why is the system's reason and errno is left as the failed write set it.
// The caller creates and closes `out` (create_output and close_output, which
// remove an output that was not written completely, or interrupted).
bool write_mpo(FILE* out, const unsigned char* left, size_t left_size, const unsigned char* right,
               size_t right_size, std::string* why);

#endif
