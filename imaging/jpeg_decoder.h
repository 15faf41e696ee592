// Our own baseline JPEG decoder: the content check for boot pictures. A recorder shows only
// baseline sequential, Huffman-coded, 8-bit JPEGs with one or three components, so that is
// exactly what this decoder accepts; everything else fails.
//
// Not thread-safe in the sense that the trace sink is process-wide; every DecodeJpeg call keeps
// its tables and position in state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kJpegDecodeOk = 0;
constexpr int kJpegDecodeFailed = 1;

// Pixels per line of the decode target for a picture of this width: the width rounded up to
// a multiple of 8. Each pixel is 16 bits (RGB565).
size_t JpegLinePixels(int width);

// Decodes `length` bytes of `data` into `target` (RGB565, JpegLinePixels(width) pixels per
// line). Returns kJpegDecodeOk with the picture's width and height, or kJpegDecodeFailed.
//
// `target_pixels` is the target's capacity in pixels: pixels that would land beyond it are
// decoded (so acceptance does not depend on the target) but not stored. `target` may be null
// for a check without pixels. The decoder never reads outside data[0, length).
// `width` and `height` may be null; they are written only on success.
int DecodeJpeg(const unsigned char* data, size_t length, uint16_t* target, size_t target_pixels, int* width,
               int* height);

// The decoder's trace lines ("InitTag error\n", "<<imgwidth=...>>\n", "decode success!!!!\n",
// "JPEG Decode ERROR.\n", "funcretN = %x\n") go to the program's console lines (the log's
// console sink, standard output by default) unless a trace sink of their own is set.
using JpegTraceSink = void (*)(const char* text);
void jpeg_set_trace_sink(JpegTraceSink sink);  // nullptr restores standard output
void jpeg_trace_silent(const char* text);      // a sink that drops every line
void jpeg_trace_stderr(const char* text);      // a sink that writes to standard error
