// JPEG decoding.
//
// Baseline, progressive, greyscale, CMYK and YCCK files. Scaling uses the
// decoder's scaled inverse DCT (s/8 for s = 1..8) down to the smallest size
// not below the target, and the area averager for the rest, so a JPEG
// reduced by 2 or more never exists at full size. The EXIF orientation of the
// first APP1 Exif block is honoured.
//
// A file with several scans is read whole into the decoder's coefficient
// buffer before any row comes out, and every scan is a pass over the blocks
// it covers. The progress monitor, which libjpeg calls before each piece of
// input it decodes (an MCU row of a scan) and for every output row, refuses
// a scan before it is decoded once the file has asked for more than its
// budget of passes (kJpegScanPasses) or scans (kMaxJpegScans), and stops the
// decode when it is cancelled.
//
// libjpeg reports fatal errors by calling error_exit, which here longjmps
// back into runJpeg(). runJpeg() therefore keeps every piece of its state in
// a trivially destructible JpegJob owned by the caller, and neither its own
// frame nor those of the steps it calls hold a C++ object with a
// destructor: a kor::Status is one, so the steps answer true or false and
// leave a failure in the Status that decodeJpeg() holds for them
// (JpegJob::failure), assigned whole before anything that may longjmp. A
// premature end of the data is only a warning in libjpeg (it
// pads the image with grey); it is turned into a failure so that no
// made-up pixel is ever delivered.
//
// The data comes from the Source's buffer itself, without a copy; segments
// that the decoder skips (comments, and ICC profiles when colour is not
// managed or only the information is wanted) are passed over by moving the
// Source's position, so their bytes are not read at all unless they were in
// the buffer already. An ICC profile (APP2 segments, possibly several) is
// handed to the pipeline, which converts the pixels to sRGB; a CMYK image
// with a profile is converted to RGB through it instead of by the plain
// formula.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"

namespace lumo::internal {
namespace {

// libjpeg's data source, reading from a Source.
struct JpegInput {
  jpeg_source_mgr manager;  // first, so that cinfo->src points to the whole
  Source* source;
  bool startOfFile;
  JOCTET fakeEnd[2];
};

struct JpegJob {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errorManager;
  jpeg_progress_mgr progress;
  JpegInput input;
  jmp_buf jump;
  Pipeline* pipeline;
  kor::Status* failure;  // decodeJpeg()'s, outside the frames a longjmp leaves
  int scan;              // the scan last seen by the progress monitor
  uint64_t budget;       // the scan work allowed, in 1/16 of a block
  uint64_t spent;        // the scan work so far, in 1/16 of a block
};

// The decode's failure, assigned before fail() leaves the decode.
kor::Status& failureOf(j_common_ptr cinfo) {
  return *static_cast<JpegJob*>(cinfo->client_data)->failure;
}

[[noreturn]] void fail(j_common_ptr cinfo) {
  auto* job = static_cast<JpegJob*>(cinfo->client_data);
  std::longjmp(job->jump, 1);
}

void initInput(j_decompress_ptr cinfo) {
  reinterpret_cast<JpegInput*>(cinfo->src)->startOfFile = true;
}

// As libjpeg's own file source does: an empty file is an error, and the end
// of the data is a warning (which emitMessage() turns into a failure) with a
// made-up end marker.
boolean fillInput(j_decompress_ptr cinfo) {
  auto* input = reinterpret_cast<JpegInput*>(cinfo->src);
  const uint8_t* data = nullptr;
  size_t count = input->source->next(&data);
  if (count == 0) {
    if (input->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    input->fakeEnd[0] = 0xFF;
    input->fakeEnd[1] = JPEG_EOI;
    data = input->fakeEnd;
    count = 2;
  }
  input->manager.next_input_byte = data;
  input->manager.bytes_in_buffer = count;
  input->startOfFile = false;
  return TRUE;
}

// Bytes beyond the buffer are skipped by moving the Source's position: the
// next fill reads from there, and finds the end of the file if the skip went
// past it.
void skipInput(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  auto* input = reinterpret_cast<JpegInput*>(cinfo->src);
  jpeg_source_mgr& manager = input->manager;
  const auto bytes = static_cast<unsigned long>(count);
  if (bytes <= manager.bytes_in_buffer) {
    manager.next_input_byte += bytes;
    manager.bytes_in_buffer -= bytes;
    return;
  }
  input->source->skip(bytes - manager.bytes_in_buffer);
  manager.next_input_byte += manager.bytes_in_buffer;
  manager.bytes_in_buffer = 0;
}

void termInput(j_decompress_ptr) {}

void errorExit(j_common_ptr cinfo) {
  char message[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, message);
  kor::Status::Code code = kor::Status::kCorrupt;
  switch (cinfo->err->msg_code) {
    case JERR_OUT_OF_MEMORY:
      code = kor::Status::kNoMemory;
      break;
    // Processes and conversions this build of libjpeg does not implement.
    case JERR_SOF_UNSUPPORTED:
    case JERR_NOT_COMPILED:
    case JERR_ARITH_NOTIMPL:
    case JERR_CONVERSION_NOTIMPL:
      code = kor::Status::kUnsupported;
      break;
    default:
      break;
  }
  failureOf(cinfo) = kor::Status::error(code, "invalid JPEG data: %s", message);
  fail(cinfo);
}

kor::Status truncated() { return kor::Status::error(kor::Status::kCorrupt, "truncated JPEG data"); }

void emitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) {
    failureOf(cinfo) = truncated();
    fail(cinfo);
  }
  // Other warnings concern recoverable corruption (the decoder substitutes
  // defined values); count them and go on.
  cinfo->err->num_warnings++;
}

// The work of the current scan, in 1/16 of a block: each block it covers
// costs 16, and in a refinement scan of AC coefficients one more for every
// coefficient of the band, which the decoder visits in every block.
uint64_t scanCost(j_decompress_ptr cinfo) {
  const uint64_t blocks = uint64_t{cinfo->MCUs_per_row} * cinfo->MCU_rows_in_scan *
                          static_cast<uint64_t>(cinfo->blocks_in_MCU);
  const bool acRefinement = cinfo->progressive_mode && cinfo->Ss > 0 && cinfo->Ah > 0;
  const uint64_t band = acRefinement ? static_cast<uint64_t>(cinfo->Se - cinfo->Ss + 1) : 0;
  return blocks * (16 + band);
}

// The scan work the image may ask for, in 1/16 of a block.
uint64_t scanBudget(j_decompress_ptr cinfo) {
  uint64_t blocks = 0;
  for (int i = 0; i < cinfo->num_components; ++i)
    blocks += uint64_t{cinfo->comp_info[i].width_in_blocks} * cinfo->comp_info[i].height_in_blocks;
  return std::max(blocks * kJpegScanPasses, kJpegMinScanBlocks) * 16;
}

void progressMonitor(j_common_ptr cinfo) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  auto* job = static_cast<JpegJob*>(cinfo->client_data);
  if (kor::isCancelled()) {
    *job->failure = checkCancelled();
    fail(cinfo);
  }
  if (decompress->input_scan_number == job->scan) return;
  // A new scan, not decoded yet.
  job->scan = decompress->input_scan_number;
  if (job->scan > kMaxJpegScans) {
    *job->failure = kor::Status::error(
        kor::Status::kLimit, "too many progressive JPEG scans (more than %d)", kMaxJpegScans);
    fail(cinfo);
  }
  job->spent += scanCost(decompress);
  if (job->spent > job->budget) {
    *job->failure = kor::Status::error(
        kor::Status::kLimit, "too many JPEG scans for a %u x %u image (%d scans)",
        decompress->image_width, decompress->image_height, job->scan);
    fail(cinfo);
  }
}

// The orientation (1..8) of the first APP1 Exif block, 1 when there is none.
int markerOrientation(j_decompress_ptr cinfo) {
  for (jpeg_saved_marker_ptr marker = cinfo->marker_list; marker != nullptr;
       marker = marker->next) {
    if (marker->marker != JPEG_APP0 + 1 || marker->data_length < 6 ||
        std::memcmp(marker->data, "Exif\0\0", 6) != 0)
      continue;
    return exifOrientation(marker->data, marker->data_length);
  }
  return 1;
}

// The smallest s in 1..8 for which the image scaled by s/8 (rounded up, as
// the decoder does) is not below the target in either direction.
int scaleNumerator(uint32_t width, uint32_t height, uint32_t targetWidth, uint32_t targetHeight) {
  for (int s = 1; s < 8; ++s) {
    uint64_t w = (uint64_t{width} * s + 7) / 8;
    uint64_t h = (uint64_t{height} * s + 7) / 8;
    if (w >= targetWidth && h >= targetHeight) return s;
  }
  return 8;
}

inline uint8_t mul255(uint32_t a, uint32_t b) { return static_cast<uint8_t>((a * b + 127) / 255); }

// Hands the image's ICC profile, if any, to the pipeline: true when the
// pipeline converts CMYK rows through it (cmykToRgba()).
bool describeColour(j_decompress_ptr cinfo, Pipeline& pipeline, bool cmyk) {
  JOCTET* icc = nullptr;
  unsigned int size = 0;
  if (!jpeg_read_icc_profile(cinfo, &icc, &size)) return false;
  bool throughProfile = false;
  if (cmyk)
    throughProfile = pipeline.setCmykProfile(icc, size, cinfo->saw_Adobe_marker);
  else
    pipeline.setIccProfile(icc, size);
  std::free(icc);
  return throughProfile;
}

// Sets libjpeg up to read from the job's input and reads the header, with
// the APP1 segments (EXIF) and, where the colour is wanted, the APP2 ones
// (ICC profiles).
void readHeader(JpegJob* job) {
  j_decompress_ptr cinfo = &job->cinfo;
  jpeg_create_decompress(cinfo);  // clears everything but err and client_data
  cinfo->client_data = job;
  cinfo->progress = &job->progress;
  cinfo->src = &job->input.manager;
  jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
  if (!job->pipeline->infoOnly() && colourManaged())
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(cinfo, TRUE);
  job->budget = scanBudget(cinfo);
}

// Chooses the decoder's output: its colour space, and the smallest scale
// not below the pipeline's target. True when the rows go straight into the
// bitmap in its own format (colour and grey images whose rows need no
// averaging or turning).
bool chooseOutput(j_decompress_ptr cinfo, Pipeline& pipeline, const Header& header, bool cmyk) {
  if (header.isGrey)
    cinfo->out_color_space = JCS_GRAYSCALE;
  else if (cmyk)
    cinfo->out_color_space = JCS_CMYK;
  else
    cinfo->out_color_space = JCS_EXT_RGBA;
  cinfo->scale_num = scaleNumerator(header.width, header.height, pipeline.storedTargetWidth(),
                                    pipeline.storedTargetHeight());
  cinfo->scale_denom = 8;
  // A reduced decode is averaged further or is small already: plain chroma
  // upsampling is enough there and saves a pass over every row.
  if (cinfo->scale_num < 8) cinfo->do_fancy_upsampling = FALSE;
  jpeg_calc_output_dimensions(cinfo);
  if (cmyk) return false;
  const BitmapInfo::Format native =
      header.isGrey ? BitmapInfo::kFormatL8 : BitmapInfo::kFormatRGB888;
  const bool direct = pipeline.acceptsDirectRows(native, cinfo->output_width, cinfo->output_height);
  if (direct && !header.isGrey) cinfo->out_color_space = JCS_RGB;
  return direct;
}

// Decodes the rows straight into the bitmap.
bool readDirectRows(JpegJob* job) {
  j_decompress_ptr cinfo = &job->cinfo;
  Pipeline& pipeline = *job->pipeline;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = pipeline.directRow(job->failure);
    if (row == nullptr) return false;
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
      *job->failure = truncated();
      return false;
    }
    if (!(*job->failure = pipeline.directRowDone()).ok()) return false;
  }
  return true;
}

// Converts a decoded grey or CMYK row of |width| pixels to RGBA (RGBA rows
// are decoded as such). Adobe writes CMYK inverted (0 means full ink) and
// marks it with APP14.
void toRgba(j_decompress_ptr cinfo, Pipeline& pipeline, bool cmykProfile, const uint8_t* native,
            uint32_t width, uint8_t* rgba) {
  if (cinfo->out_color_space == JCS_GRAYSCALE) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = rgba + size_t{x} * 4;
      p[0] = p[1] = p[2] = native[x];
      p[3] = 255;
    }
  } else if (cmykProfile) {
    pipeline.cmykToRgba(native, width, rgba);
  } else if (cinfo->out_color_space == JCS_CMYK) {
    const bool inverted = cinfo->saw_Adobe_marker;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* s = native + size_t{x} * 4;
      uint8_t* p = rgba + size_t{x} * 4;
      uint32_t k = inverted ? s[3] : 255u - s[3];
      for (int c = 0; c < 3; ++c) p[c] = mul255(inverted ? s[c] : 255u - s[c], k);
      p[3] = 255;
    }
  }
}

// Decodes the rows in the decoder's colour space and streams them as RGBA.
bool readRgbaRows(JpegJob* job, bool cmykProfile) {
  j_decompress_ptr cinfo = &job->cinfo;
  Pipeline& pipeline = *job->pipeline;
  const uint32_t width = cinfo->output_width;
  const int components = cinfo->output_components;
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{width} * 4, job->failure);
  uint8_t* native = cinfo->out_color_space == JCS_EXT_RGBA
                        ? rgba
                        : scratch(Scratch::kDecoderRow, size_t{width} * components, job->failure);
  if (rgba == nullptr || native == nullptr) return false;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = native;
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
      *job->failure = truncated();
      return false;
    }
    toRgba(cinfo, pipeline, cmykProfile, native, width, rgba);
    if (!(*job->failure = pipeline.sink().putRow(rgba)).ok()) return false;
  }
  return true;
}

// The decode after setjmp(): header, output choice, rows. libjpeg's errors
// longjmp out of it, so it holds no object with a destructor either.
// jpeg_finish_decompress() is left out on purpose: every pixel is in, and a
// file that only lacks its end marker is still a complete image.
bool decodeRows(JpegJob* job) {
  j_decompress_ptr cinfo = &job->cinfo;
  readHeader(job);
  Header header;
  header.width = cinfo->image_width;
  header.height = cinfo->image_height;
  header.orientation = markerOrientation(cinfo);
  header.sourceType = BitmapInfo::kSourceJpeg;
  header.isGrey = cinfo->jpeg_color_space == JCS_GRAYSCALE;
  Pipeline& pipeline = *job->pipeline;
  if (!(*job->failure = pipeline.start(header)).ok()) return false;
  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  const bool cmykProfile = describeColour(cinfo, pipeline, cmyk);
  const bool direct = chooseOutput(cinfo, pipeline, header, cmyk);
  jpeg_start_decompress(cinfo);
  *job->failure = pipeline.setRowSize(cinfo->output_width, cinfo->output_height);
  if (!job->failure->ok()) return false;
  return direct ? readDirectRows(job) : readRgbaRows(job, cmykProfile);
}

// Runs the whole decode. No object with a destructor may live in this frame
// or in those it calls (see the top of the file); everything is in |job|.
// The outcome is in the job's failure.
void runJpeg(JpegJob* job) {
  j_decompress_ptr cinfo = &job->cinfo;
  if (setjmp(job->jump) != 0) {
    jpeg_destroy_decompress(cinfo);
    return;
  }
  decodeRows(job);
  jpeg_destroy_decompress(cinfo);
}

}  // namespace

kor::Status decodeJpeg(Source& source, Pipeline& pipeline) {
  auto* job = new (std::nothrow) JpegJob;
  if (job == nullptr) return outOfMemory("starting a JPEG decoder");
  std::memset(job, 0, sizeof(*job));
  job->cinfo.err = jpeg_std_error(&job->errorManager);
  job->errorManager.error_exit = errorExit;
  job->errorManager.emit_message = emitMessage;
  job->progress.progress_monitor = progressMonitor;
  job->input.manager.init_source = initInput;
  job->input.manager.fill_input_buffer = fillInput;
  job->input.manager.skip_input_data = skipInput;
  job->input.manager.resync_to_restart = jpeg_resync_to_restart;
  job->input.manager.term_source = termInput;
  job->input.source = &source;
  job->pipeline = &pipeline;
  kor::Status failure;
  job->failure = &failure;
  runJpeg(job);
  delete job;
  return failure;
}

}  // namespace lumo::internal
