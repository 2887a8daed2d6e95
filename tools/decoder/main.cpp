// imageserver-decoder: the process in which the service reads and decodes
// images. The service starts it; it is not meant to be run by hand.
#include "platform/lumo/sandbox.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A crash of a sanitizer build's decoder is the signal itself, as in a
// release build, not the sanitizer's report (it has nowhere to write one).
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "handle_segv=0:handle_abort=0";
}
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
  return "handle_segv=0:handle_abort=0";
}
#endif

int main(int argc, char** argv) {
  return lumo::internal::runDecoderProcess(argc, argv, IMAGESERVER_DECODER_TEST_REQUESTS);
}
