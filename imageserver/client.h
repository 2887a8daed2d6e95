/* The C interface of the image service's client library
 * (libimageserverclient.so): connect to a service instance, ask for the
 * information, the file bytes or the decoded pixels of N locators in one
 * request, and read the answers in the order of the locators.
 *
 *   imageserver_error error;
 *   imageserver_client* client = imageserver_connect(NULL, &error);
 *   if (client == NULL) { fprintf(stderr, "%s\n", error.message); ... }
 *   const char* paths[] = {"/pictures/a.jpg", "/pictures/b.png"};
 *   imageserver_answers* answers;
 *   if (imageserver_decode(client, paths, 2, 1, &answers, &error) == IMAGESERVER_OK) {
 *     for (size_t i = 0; i < imageserver_answers_count(answers); ++i) {
 *       const imageserver_answer* answer = imageserver_answers_get(answers, i);
 *       ... answer->data, answer->width, answer->height, answer->format ...
 *     }
 *     imageserver_answers_release(answers);
 *   }
 *   imageserver_close(client);
 *
 * Large arrays (file bytes, pixels) arrive in shared memory mapped read-only
 * into this process; an answer's data points into that mapping, which stays
 * valid until its imageserver_answers is released, also after the client
 * that received it is closed.
 *
 * Which service is reached, and how relative locators are taken, is as for
 * the C++ API (svx/imageserver/client/ImageServerClient.h). Nothing here
 * aborts or throws: every failure is reported through imageserver_error. */
#ifndef IMAGESERVER_CLIENT_H_
#define IMAGESERVER_CLIENT_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define IMAGESERVER_C_API __attribute__((visibility("default")))
#else
#define IMAGESERVER_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of imageserver_error and the return values of the functions
 * that return int32_t. */
enum {
  IMAGESERVER_OK = 0,
  IMAGESERVER_ERROR_INVALID_ARGUMENT = 1, /* a null or empty argument, a scale out of range */
  IMAGESERVER_ERROR_CONNECT = 2,          /* no service was reached */
  IMAGESERVER_ERROR_CLOSED = 3,           /* the connection closed */
  IMAGESERVER_ERROR_TIMEOUT = 4,          /* not every answer came in time */
  IMAGESERVER_ERROR_OUT_OF_MEMORY = 5,
  IMAGESERVER_ERROR_REQUEST = 6,   /* the request could not be sent */
  IMAGESERVER_ERROR_NO_VERSION = 7 /* the service has published no version yet */
};

/* Result of one answer: the service's result codes. */
enum {
  IMAGESERVER_RESULT_OK = 0,
  IMAGESERVER_RESULT_OUT_OF_MEMORY = 1,
  IMAGESERVER_RESULT_INVALID_IMAGE = 2,
  IMAGESERVER_RESULT_READ_INCOMPLETE = 4
};

/* Formats: the source types (0..4) of information and file bytes, the
 * pixel formats (5..12) of decoded images. */
enum {
  IMAGESERVER_FORMAT_JPEG = 0,
  IMAGESERVER_FORMAT_PNG = 1,
  IMAGESERVER_FORMAT_GIF = 2,
  IMAGESERVER_FORMAT_BMP = 3,
  IMAGESERVER_FORMAT_WEBP = 4,
  IMAGESERVER_FORMAT_L8 = 5,
  IMAGESERVER_FORMAT_LA88 = 6,
  IMAGESERVER_FORMAT_RGB565 = 7,
  IMAGESERVER_FORMAT_RGB888 = 8,
  IMAGESERVER_FORMAT_BGR888 = 9,
  IMAGESERVER_FORMAT_RGBA8888 = 10,
  IMAGESERVER_FORMAT_BGRA8888 = 11,
  IMAGESERVER_FORMAT_ARGB8888 = 12,
  IMAGESERVER_FORMAT_UNKNOWN = 13
};

/* A failure: its code and a NUL-terminated text saying what failed (cut to
 * fit). The caller owns the struct; every function that takes one sets it,
 * to IMAGESERVER_OK and "" on success. It may be NULL where the caller does
 * not want it. */
typedef struct imageserver_error {
  int32_t code;
  char message[1024];
} imageserver_error;

/* How to connect. Initialise with imageserver_connect_options_init, then
 * change the fields wanted. */
typedef struct imageserver_connect_options {
  uint32_t instance;       /* the service instance; 0 by default */
  const char* runtime_dir; /* the runtime folder; NULL or "": the folders tried in order */
  double connect_timeout;  /* seconds the connect may wait; 0 or less: no limit. 30 by default */
  double request_timeout;  /* seconds a request waits for its answers; 0 or less: no limit. 30 by
                              default */
} imageserver_connect_options;

/* One connection to a service instance (opaque). */
typedef struct imageserver_client imageserver_client;

/* One answer, in the order of its locator in the request. Every pointer
 * lives as long as the imageserver_answers it came from. */
typedef struct imageserver_answer {
  const char* locator; /* as sent: a relative path made absolute */
  int32_t result;      /* IMAGESERVER_RESULT_* */
  int32_t has_info;    /* 1: format, width, height, hash and file_size are set */
  int32_t format;      /* IMAGESERVER_FORMAT_*: a source type, or a pixel format when decoded */
  uint32_t width;
  uint32_t height;
  int64_t hash;
  int64_t file_size;
  int32_t decoded;     /* 1: data holds pixels, rows of width * bytes per pixel; 0: file bytes */
  int32_t shared;      /* 1: data lies in shared memory mapped from the service (no copy) */
  const uint8_t* data; /* NULL for information answers and for most failures */
  size_t length;
} imageserver_answer;

/* The answers of one request (opaque); owns every answer and its memory. */
typedef struct imageserver_answers imageserver_answers;

/* Sets |options| to the defaults. Any thread. */
IMAGESERVER_C_API void imageserver_connect_options_init(imageserver_connect_options* options);

/* Connects to the service. |options| NULL: the defaults. Returns the client,
 * owned by the caller and closed with imageserver_close, or NULL with
 * |error| set (IMAGESERVER_ERROR_CONNECT names every socket tried). Any
 * thread. */
IMAGESERVER_C_API imageserver_client* imageserver_connect(
    const imageserver_connect_options* options, imageserver_error* error);

/* Closes the connection and frees |client| (NULL: nothing). Answers received
 * stay valid until released. Not while another thread uses |client|. */
IMAGESERVER_C_API void imageserver_close(imageserver_client* client);

/* The requests: |count| locators (none NULL or empty; |count| 0 gives no
 * answers), one answer per locator in the order of |locators|. On
 * IMAGESERVER_OK *|answers| is set to a handle the caller releases with
 * imageserver_answers_release; on failure it is set to NULL. Each waits for
 * its answers up to the client's request timeout. A client may be used from
 * any thread; the requests of several threads on one client run one after
 * the other. */

/* The information of each locator (format, width, height, hash, size). */
IMAGESERVER_C_API int32_t imageserver_info(imageserver_client* client, const char* const* locators,
                                           size_t count, imageserver_answers** answers,
                                           imageserver_error* error);
/* The file bytes of each locator, with its information. */
IMAGESERVER_C_API int32_t imageserver_read(imageserver_client* client, const char* const* locators,
                                           size_t count, imageserver_answers** answers,
                                           imageserver_error* error);
/* The decoded pixels of each locator, reduced by |scale| when it is 2 or
 * more (0 or 1: full size; at most 127). */
IMAGESERVER_C_API int32_t imageserver_decode(imageserver_client* client,
                                             const char* const* locators, size_t count,
                                             int32_t scale, imageserver_answers** answers,
                                             imageserver_error* error);

/* The number of answers; 0 for NULL. Any thread, until released. */
IMAGESERVER_C_API size_t imageserver_answers_count(const imageserver_answers* answers);
/* Answer |index| (below the count), or NULL. Any thread, until released. */
IMAGESERVER_C_API const imageserver_answer* imageserver_answers_get(
    const imageserver_answers* answers, size_t index);
/* Frees the answers and unmaps their shared memory (NULL: nothing). Once,
 * after every other use of |answers| and its pointers has ended; any
 * thread, the client may be closed already. */
IMAGESERVER_C_API void imageserver_answers_release(imageserver_answers* answers);

/* The service's interface version, a NUL-terminated text written into
 * |buffer| of |size| bytes (cut to fit). Waits up to the request timeout.
 * A service just started may not have published it yet
 * (IMAGESERVER_ERROR_NO_VERSION): ask again a little later. Same thread
 * rules as the requests. */
IMAGESERVER_C_API int32_t imageserver_interface_version(imageserver_client* client, char* buffer,
                                                        size_t size, imageserver_error* error);

/* "RESULT_OK", ... or "RESULT_UNKNOWN"; "JPEG", "RGBA8888", ... or
 * "UNKNOWN". Static texts; any thread. */
IMAGESERVER_C_API const char* imageserver_result_name(int32_t result);
IMAGESERVER_C_API const char* imageserver_format_name(int32_t format);

#ifdef __cplusplus
}
#endif

#endif /* IMAGESERVER_CLIENT_H_ */
